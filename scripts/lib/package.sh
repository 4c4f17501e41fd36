# What scripts/package and scripts/test-package share. Sourced, from the top of the worktree.

# The suites a package is made for, and the Debian release number each one's version carries.
package_suite_number() {
  case "$1" in
    bookworm) echo 12 ;;
    trixie) echo 13 ;;
    forky) echo 14 ;;
    *) return 1 ;;
  esac
}

# This machine's suite, the default one to build for.
this_suite() {
  (. /etc/os-release && echo "${VERSION_CODENAME:-}")
}

# Reads "--suite SUITE" (or none) into $suite, refusing a suite no package is made for.
parse_suite_option() {
  suite=$(this_suite)
  while [ $# -gt 0 ]; do
    case "$1" in
      --suite) suite=${2:-}; shift 2 || shift ;;
      --suite=*) suite=${1#--suite=}; shift ;;
      *) echo "$(basename "$0"): unknown argument '$1'" >&2; return 2 ;;
    esac
  done
  if ! package_suite_number "$suite" >/dev/null; then
    echo "$(basename "$0"): no package is made for suite '$suite' (bookworm, trixie or forky)" >&2
    return 2
  fi
}

# Package names of a dependency field ("a (>= 1), b | c, d [amd64]"), one a line: the first of
# each set of alternatives, without versions, architectures or build profiles.
dependency_names() {
  tr ',' '\n' | sed -e 's/([^)]*)//g; s/\[[^]]*\]//g; s/<[^>]*>//g; s/|.*//' \
    -e 's/^[[:space:]]*//; s/[[:space:]]*$//' | sed '/^$/d'
}

# What building the package needs, from debian/control's Build-Depends. debhelper-compat is
# provided by debhelper.
build_dependencies() {
  awk '/^Build-Depends:/ { f = 1; sub(/^Build-Depends:/, ""); print; next }
       f && /^[ \t]/ { print; next }
       { f = 0 }' debian/control | dependency_names | sed 's/^debhelper-compat$/debhelper/'
}

# The agent's package built for the suite, or nothing.
built_package() {
  ls "$PWD/build-package/$1"/ulvarend_*_*.deb 2>/dev/null | head -n1
}

# The collection server's package built for the suite, or nothing.
built_server_package() {
  ls "$PWD/build-package/$1"/ulvarend-server_*_*.deb 2>/dev/null | head -n1
}
