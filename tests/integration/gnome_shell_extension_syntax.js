// Parses each format of the GNOME Shell extension as GJS, the shell's engine, parses it before
// running it, and runs nothing of it: `gjs this-file module FILE script FILE ...`. A "module" is
// an ES module and must export a default class (what GNOME Shell 45 and later construct); a
// "script" is a classic script and must declare init() (what GNOME Shell 43 and 44 call). Each
// file that fails is named with the reason, and the exit status is 1.
'use strict';

const {GLib} = imports.gi;

const entryPoints = {
    module: tree => tree.body.some(node => node.type === 'ExportDeclaration' && node.isDefault),
    script: tree => tree.body.some(node =>
        node.type === 'FunctionDeclaration' && node.id.name === 'init'),
};

function problemWith(kind, path) {
    const text = new TextDecoder().decode(GLib.file_get_contents(path)[1]);
    try {
        return entryPoints[kind](Reflect.parse(text, {target: kind, source: path}))
            ? null : `has no entry point for a ${kind}`;
    } catch (error) {
        return `line ${error.lineNumber}: ${error}`;
    }
}

let failed = ARGV.length === 0;
for (let i = 0; i + 1 < ARGV.length; i += 2) {
    const problem = problemWith(ARGV[i], ARGV[i + 1]);
    if (problem) {
        printerr(`${ARGV[i + 1]}: ${problem}`);
        failed = true;
    }
}
imports.system.exit(failed ? 1 : 0);
