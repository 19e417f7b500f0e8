// placeholder: replaced by the settings module
#include "settings.h"
const char* ir_cut_to_string(int32_t) { return "auto"; }
const char* settings_config_path() { return "/etc/lanecamd/lanecamd.conf"; }
int settings_load(UiState*, AlgoConfig*) { return 0; }
int ui_state_store(const UiState*) { return 0; }
