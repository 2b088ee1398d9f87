// host/ServiceInstall.cpp: installation and removal of the service (-i, -u).
//
// Threading: main thread only.
#include "host/ServiceInstall.h"

#include "platform/System.h"

// TODO: writing and removing the service registration (unit file, systemctl)
// and the event source is a later work item; until it lands these only tell
// the user that this build cannot do it.
void InstallService() {
  ShowMessageBox("Service installation is not available in this build.", "Install Service", MB_OK_CODE);
}

void RemoveService() {
  ShowMessageBox("Service removal is not available in this build.", "Remove Service", MB_OK_CODE);
}
