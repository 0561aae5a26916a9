// The format parameters read from the root directory's name at mount.
#pragma once

namespace flashfs {

// Sets the format parameters from their defaults for the device, then from the list in the
// root's name: after its second "/", letters each followed by a decimal value (a missing value
// counts as 0); "b" sets the device's block count for the next pass.
void fs_params_parse(const char* root_name);
// Refuses parameters that break the layout's own limits: 0 or FFS_E_BADFORMAT.
int fs_params_check();

}  // namespace flashfs
