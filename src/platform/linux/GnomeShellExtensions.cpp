#include "platform/GnomeShellExtensions.h"

#define G_SETTINGS_ENABLE_BACKEND
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>
#include <memory>
#include <vector>

namespace ulvarend::platform {
namespace {

constexpr const char* kShellSchema = "org.gnome.shell";

struct SettingsUnref {
    void operator()(GSettings* settings) const { g_object_unref(settings); }
};
using Settings = std::unique_ptr<GSettings, SettingsUnref>;

// Without a session bus GNOME Shell cannot be there, and dconf would have D-Bus start one
// through X11 (autolaunch), which outlives the agent and may end it with the X server.
bool sessionBusKnown() {
    const gchar* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') {
        return true;
    }
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::path(g_get_user_runtime_dir()) / "bus",
                                   ignored);
}

// Null when the schema is missing (g_settings_new would abort the process) or there is no
// session bus.
Settings shellSettings() {
    if (!sessionBusKnown()) {
        return nullptr;
    }
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr) {
        return nullptr;
    }
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, kShellSchema, TRUE);
    if (schema == nullptr) {
        return nullptr;
    }
    g_settings_schema_unref(schema);
    return Settings(g_settings_new(kShellSchema));
}

std::vector<std::string> readList(GSettings* settings, const char* key) {
    std::vector<std::string> list;
    gchar** values = g_settings_get_strv(settings, key);
    for (gchar** value = values; value != nullptr && *value != nullptr; ++value) {
        list.emplace_back(*value);
    }
    g_strfreev(values);
    return list;
}

bool writeList(GSettings* settings, const char* key, const std::vector<std::string>& list) {
    std::vector<const gchar*> values;
    for (const auto& value : list) {
        values.push_back(value.c_str());
    }
    values.push_back(nullptr);
    return g_settings_set_strv(settings, key, values.data()) != FALSE;
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// Where GNOME Shell looks for extensions: the user's data folder, then the system's.
bool installed(const std::string& uuid) {
    std::vector<std::filesystem::path> folders{g_get_user_data_dir()};
    for (const gchar* const* dir = g_get_system_data_dirs(); *dir != nullptr; ++dir) {
        folders.emplace_back(*dir);
    }
    std::error_code ignored;
    return std::any_of(folders.begin(), folders.end(), [&](const auto& folder) {
        return std::filesystem::is_regular_file(
            folder / "gnome-shell" / "extensions" / uuid / "metadata.json", ignored);
    });
}

bool inGnomeSession() {
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    const std::string list = std::string(":") + (desktops != nullptr ? desktops : "") + ":";
    return list.find(":GNOME:") != std::string::npos;
}

} // namespace

std::vector<ExtensionEnabling>
enableGnomeShellExtensions(const std::vector<std::string>& uuids,
                           const std::function<void(const std::string&)>& onInfo,
                           const ErrorReporter& onError) {
    std::vector<ExtensionEnabling> outcomes(uuids.size(), ExtensionEnabling::noGnomeShell);
    Settings settings = shellSettings();
    if (!settings) {
        return outcomes;
    }
    auto enabled = readList(settings.get(), "enabled-extensions");
    auto disabled = readList(settings.get(), "disabled-extensions");
    std::vector<std::string> adding;
    for (std::size_t i = 0; i < uuids.size(); ++i) {
        const auto& uuid = uuids[i];
        if (!installed(uuid)) {
            outcomes[i] = ExtensionEnabling::notInstalled;
        } else if (contains(enabled, uuid) && !contains(disabled, uuid)) {
            outcomes[i] = ExtensionEnabling::wasEnabled;
        } else {
            outcomes[i] = ExtensionEnabling::enabledNow;
            if (!contains(adding, uuid)) {
                adding.push_back(uuid);
            }
        }
    }
    if (adding.empty()) {
        return outcomes;
    }
    const auto fail = [&](const std::string& why) {
        for (std::size_t i = 0; i < uuids.size(); ++i) {
            if (outcomes[i] == ExtensionEnabling::enabledNow) {
                outcomes[i] = ExtensionEnabling::failed;
                if (onError) {
                    onError("Cannot enable the GNOME Shell extension " + uuids[i] + ": " + why);
                }
            }
        }
        return outcomes;
    };
    // Without dconf GSettings keeps what is written in memory only: the shell never hears it.
    GSettingsBackend* backend = g_settings_backend_get_default();
    const bool lasting = g_strcmp0(G_OBJECT_TYPE_NAME(backend), "GMemorySettingsBackend") != 0;
    g_object_unref(backend);
    if (!lasting) {
        return fail("GSettings has no lasting store here (is dconf installed?)");
    }
    // The shell handles each change of the list on its own, and a change that comes while it
    // still enables what the last one added enables that again: every id goes in one write,
    // and the list that wins over it is emptied of them in the same transaction of the store.
    g_settings_delay(settings.get());
    const auto before = disabled.size();
    disabled.erase(std::remove_if(disabled.begin(), disabled.end(),
                                  [&](const std::string& uuid) { return contains(adding, uuid); }),
                   disabled.end());
    bool written =
        disabled.size() == before || writeList(settings.get(), "disabled-extensions", disabled);
    bool added = false;
    for (const auto& uuid : adding) {
        if (!contains(enabled, uuid)) {
            enabled.push_back(uuid);
            added = true;
        }
    }
    if (written && added) {
        written = writeList(settings.get(), "enabled-extensions", enabled);
    }
    if (written) {
        g_settings_apply(settings.get());
    } else {
        g_settings_revert(settings.get());
    }
    g_settings_sync();
    if (!written) {
        return fail("the list of enabled extensions cannot be changed");
    }
    if (onInfo) {
        for (const auto& uuid : adding) {
            onInfo("Enabled the GNOME Shell extension " + uuid +
                   "; GNOME Shell loads it at once if it knows it already, else at the next login");
        }
    }
    return outcomes;
}

ExtensionEnabling enableGnomeShellExtension(const std::string& uuid,
                                            const std::function<void(const std::string&)>& onInfo,
                                            const ErrorReporter& onError) {
    return enableGnomeShellExtensions({uuid}, onInfo, onError).front();
}

ExtensionEnabling
enableAgentGnomeShellExtensions(const std::function<void(const std::string&)>& onInfo,
                                const ErrorReporter& onError) {
    std::vector<std::string> uuids{kFrontmostExtension, kFrontmostLegacyExtension};
    if (inGnomeSession()) {
        uuids.emplace_back(kAppIndicatorExtension);
    }
    const auto outcomes = enableGnomeShellExtensions(uuids, onInfo, onError);
    // What became of ours, as one: a failure to write first, then what happened to either.
    const auto rank = [](ExtensionEnabling e) {
        switch (e) {
        case ExtensionEnabling::failed:
            return 4;
        case ExtensionEnabling::enabledNow:
            return 3;
        case ExtensionEnabling::wasEnabled:
            return 2;
        case ExtensionEnabling::notInstalled:
            return 1;
        case ExtensionEnabling::noGnomeShell:
            break;
        }
        return 0;
    };
    return rank(outcomes[0]) >= rank(outcomes[1]) ? outcomes[0] : outcomes[1];
}

bool gnomeShellUserExtensionsOff() {
    Settings settings = shellSettings();
    return settings && g_settings_get_boolean(settings.get(), "disable-user-extensions") != FALSE;
}

void enableAppIndicatorExtension(const std::function<void(const std::string&)>& onInfo,
                                 const ErrorReporter& onError) {
    // Other desktops have status areas of their own; their users' GNOME settings, if any, are
    // not the agent's to change.
    if (inGnomeSession()) {
        enableAgentGnomeShellExtensions(onInfo, onError);
    }
}

} // namespace ulvarend::platform
