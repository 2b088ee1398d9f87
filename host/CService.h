// host/CService.h: the service object: the gateway's link to the service
// manager, and the record of the inbound server and outbound deliverer that a
// stop needs.
//
// One static instance serves service mode; console mode makes its own on the
// heap. Fields are written before the service reports running (or, for
// m_SMTPIN and m_SMTPOUT, by the start routine) and read by the stop handling
// without a lock.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/System.h"

class SMTPIn;
class SMTPOut;
class CService;

// The start routine that Initservice runs once the service is starting.
using ServiceUserFunction = int (*)(CService* service);

class CService {
 public:
  CService();
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;
  ~CService();

  // Hands the process to the service manager and returns when the service has
  // ended: nonzero on success, 0 (last error set) when no service manager
  // started this process.
  int Initservice(const char* serviceName, ServiceUserFunction userFunction);

  std::unique_ptr<char[]> m_ServiceName;     // copy made by Initservice
  std::uintptr_t m_StopEvent = 0;            // TODO: the stop event belongs to the service controller
  std::uintptr_t m_ServiceStatusHandle = 0;  // TODO: status reporting to the service manager
  ThreadHandle m_Thread = 0;                 // start thread running m_UserFunction
  ServiceUserFunction m_UserFunction = nullptr;
  std::uint32_t m_StartWaitHint = 10000;  // milliseconds
  std::uint32_t m_StopWaitHint = 15000;   // milliseconds
  SMTPIn* m_SMTPIN = nullptr;             // recorded by StartGateway
  SMTPOut* m_SMTPOUT = nullptr;           // recorded by StartGateway
};

// The running service object, set by Initservice.
CService* RunningService();
