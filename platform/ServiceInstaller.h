// platform/ServiceInstaller.h: registering the gateway with the system's
// service manager, and removing it.
//
// On Windows: OpenSCManagerA, OpenServiceA, CreateServiceA (own process,
// automatic start, local system), then ChangeServiceConfig2A for the
// description, the recovery actions (restarts, also after a stop that reports
// an error), the delayed automatic start and the pre-shutdown time-out;
// QueryServiceStatus, DeleteService, and the event source's registry key. On POSIX the service is a systemd unit,
// "<shortName>.service", in the unit directory ($CVSMTPGW_UNIT_DIR, else
// /etc/systemd/system): Type=notify, Restart=on-failure, started after the
// network, run as the system user <shortName> with only the capability to
// bind port 25, NoNewPrivileges, ProtectSystem=strict with the writable paths
// (and the hive's directory) as ReadWritePaths, a private /tmp, and TMP set
// to the service's own temporary directory, which outlives a restart. When
// systemd runs (systemctl on PATH and $CVSMTPGW_SYSTEMD_RUN_DIR, else
// /run/systemd/system, present) installation enables the unit, removal
// disables it and the state comes from `systemctl is-active`; otherwise the
// unit file alone is the installation and the service counts as stopped.
//
// Each call returns false with the last error set and, in `problem`, one line
// that tells an administrator what failed. Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinCodes.h"

struct CServiceDefinition {
  std::string name;         // service and display name
  std::string shortName;    // the same without spaces: unit and account name
  std::string programPath;  // absolute path of the program file
  // Directories the service writes to (spool, logs); the backend adds the
  // place where the settings live when they are a file.
  std::vector<std::string> writableDirectories;
  // The service's TMP: where it keeps files across restarts (the fragments
  // of split mails); empty: the system's default. Ignored on Windows, whose
  // services keep their TMP.
  std::string temporaryDirectory;
  // Windows only (the systemd unit has its own, RestartSec=5): what the
  // service manager shows, the restarts after a failure (milliseconds after
  // it; the last one repeats), how long a pre-shutdown stop may take.
  std::string description;
  std::vector<std::uint32_t> restartDelaysMs;
  std::uint32_t preshutdownTimeoutMs = 0;
  // The TCP port the service listens on, for the firewall's rule.
  int port = 0;
};

// GetModuleFileNameA: the absolute path of the running program file.
bool PlatformProgramFilePath(std::string& path);

// OpenSCManagerA with full access.
bool PlatformOpenServiceManager(std::string& problem);
// OpenServiceA: whether the service is installed.
bool PlatformServiceInstalled(const CServiceDefinition& service);
// CreateServiceA: installs the service to start automatically.
bool PlatformCreateService(const CServiceDefinition& service, std::string& problem);
// The event log's registration of the service as an event source.
bool PlatformInstallEventSource(const CServiceDefinition& service, std::string& problem);
// QueryServiceStatus: the service's current state (kServiceStopped, ...).
bool PlatformQueryServiceState(const CServiceDefinition& service, DWORD& state, std::string& problem);
// DeleteService.
bool PlatformDeleteService(const CServiceDefinition& service, std::string& problem);
// The command an administrator runs to let mail reach the service through
// the system's firewall (Windows: netsh advfirewall); "" where the gateway
// knows of none to name.
std::string PlatformFirewallCommand(const CServiceDefinition& service);
