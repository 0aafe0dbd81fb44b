// The clean-up program's jobs: the three modes and the steps of the default
// run (see run_modes.h for how the command line picks them).
//
// Windows-only header.
#pragma once

namespace Cleanup {

// "file" mode: delete the products' program folders.
void RemoveProductFolders();

// "registry" mode: delete the installer, uninstall, COM and shell
// registrations of the maker's products.
void RemoveInstallerRegistration();

// "vdd" mode: remove the versioned disk filter driver and the virtual-disk
// driver. Returns 0.
int RemoveDiskFilterDrivers();

// The default run, in its order.
void RunCplDisintegrate();                         // restore the control-panel item
bool SetContextMenuHandlers(bool present);         // asked for absent
bool SetShellExtensionRegistered(bool registered); // asked for unregistered
int RemoveDriversAndServices();                    // returns 0
int RemoveBootFolders();                           // returns 0
void RemoveNameSpaceKey();

}  // namespace Cleanup
