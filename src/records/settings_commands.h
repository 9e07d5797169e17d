#pragma once
// The settings commands: the settings group itself, plus "choose_folder"
// (notes group), "mark_configured" and "mark_tutorial_seen" (bindings group)
// and "set_biometric_unlock" (account sign-in group). They act on
// SettingsStore::shared(), FolderAccessBroker::shared(), UserDefaults::shared()
// and the services of settings_services.h, all looked up per call.
#include "bridge/command.h"
#include "core/json.h"

namespace corvane::records {

void installSettingsCommands(bridge::Router& router);

// The view "get_settings" answers, assembled from the current record, the user
// defaults and the installed services.
Json settingsView();

}  // namespace corvane::records
