// host/ServiceInstall.h: installation and removal of the service (-i, -u).
//
// Called from the entry on the main thread only; each reports to the user itself.
#pragma once

void InstallService();
void RemoveService();
