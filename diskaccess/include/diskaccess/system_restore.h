// Windows System Restore for one drive: switched on or off through WMI's
// SystemRestore class (retried while the service is not ready), and asked
// about without WMI: the drive table on Windows XP and Server 2003, the
// shadow-copy service's list of protected volumes on later systems. Both
// answer only on workstation editions.
#pragma once

#if defined(_WIN32)

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/error.h"

namespace Da {

// Error codes (facility 0x14).
namespace RestoreCode {
constexpr std::uint32_t kNoDrive = 0x1407D0;  // also: the Windows folder unknown
constexpr std::uint32_t kKey = 0x1407D1;
constexpr std::uint32_t kValue = 0x1407D2;
constexpr std::uint32_t kTableOpen = 0x1407D3;
constexpr std::uint32_t kTableRead = 0x1407D4;
constexpr std::uint32_t kTableFlags = 0x1407D5;
constexpr std::uint32_t kReturnValue = 0x1407D7;
constexpr std::uint32_t kNotWorkstation = 0x1407D8;
constexpr std::uint32_t kVersion = 0x140004;
constexpr std::uint32_t kComInit = 0x1403E8;
constexpr std::uint32_t kComSecurity = 0x1403E9;
constexpr std::uint32_t kLocator = 0x1403EA;
constexpr std::uint32_t kConnect = 0x1403EB;
constexpr std::uint32_t kGetObject = 0x1403EE;
constexpr std::uint32_t kGetMethod = 0x1403EF;
constexpr std::uint32_t kSpawn = 0x1403F0;
constexpr std::uint32_t kPut = 0x1403F1;
constexpr std::uint32_t kExecMethod = 0x1403F2;
constexpr std::uint32_t kGetReturnValue = 0x1403F3;
}  // namespace RestoreCode

// One SystemRestore method call, prepared once and run as often as asked.
class RestoreMethodCall {
 public:
  virtual ~RestoreMethodCall();
  // Everything up to the call: the connection, the class, the method's
  // parameters with "Drive" set. A failure is the step's code.
  virtual Common::Error Prepare(bool enable, const std::u16string& drive) = 0;
  // Runs the method once. `hasValue` tells whether ReturnValue came back
  // as a 32-bit integer, and `value` is then that integer.
  virtual Common::Error Execute(bool& hasValue, std::uint32_t& value) = 0;
};

// The call through WMI.
std::unique_ptr<RestoreMethodCall> MakeWmiRestoreCall();

// Switches System Restore for the drive ("C:\", as WMI takes it).
void SetSystemRestore(Common::Error& result, bool enable, const std::u16string& drive);
// The same over a given call, sleeping between attempts with `sleep`
// (milliseconds); what the tests drive.
void SetSystemRestoreWith(Common::Error& result, RestoreMethodCall& call,
                          const std::function<void(std::uint32_t)>& sleep, bool enable,
                          const std::u16string& drive);

// state: 0 off, 1 on, 2 the drive table does not answer.
void IsSystemRestoreEnabled(Common::Error& result, std::uint32_t& state,
                            const std::u16string& drive);
void IsSystemRestoreEnabledXp(Common::Error& result, std::uint32_t& state,
                              const std::u16string& drive);
void IsSystemRestoreEnabledVista(Common::Error& result, std::uint32_t& state,
                                 const std::u16string& drive);

}  // namespace Da

#endif
