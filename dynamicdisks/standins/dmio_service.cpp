// A stand-in "dmio" service for tests under Wine only (never shipped): it
// reports itself running, after a short start that advances its
// checkpoint, and stops when told to.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE handle = nullptr;
SERVICE_STATUS status{};
HANDLE stopEvent = nullptr;

void Report(DWORD state, DWORD checkpoint, DWORD hint) {
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwCheckPoint = checkpoint;
  status.dwWaitHint = hint;
  SetServiceStatus(handle, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING, 1, 1000);
    SetEvent(stopEvent);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  handle = RegisterServiceCtrlHandlerExA("dmio", &Control, nullptr);
  if (handle == nullptr) return;
  stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_START_PENDING, 1, 3000);
  Sleep(200);
  Report(SERVICE_START_PENDING, 2, 3000);
  Report(SERVICE_RUNNING, 0, 0);
  WaitForSingleObject(stopEvent, INFINITE);
  Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int main() {
  char name[] = "dmio";
  SERVICE_TABLE_ENTRYA table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
