#include "core/classic_policy.h"

#include "varno_link.h"

namespace varno {
namespace {

struct StepPolicy {
  OpenStep step;
  const char* text;
  std::int32_t code;  // when the port has nothing more to say than that the step failed
};

// In the order the Windows port takes its steps.
constexpr StepPolicy kSteps[] = {
    {OpenStep::kCreateEvents, "\n openInterface !CreateEvent", VARNO_E_RESOURCES},
    {OpenStep::kOpenDevice, "\n openInterface INVALID_HANDLE_VALUE", VARNO_E_NOT_FOUND},
    {OpenStep::kPurge, "\n openInterface !PurgeComm", VARNO_E_REFUSED_PURGE},
    {OpenStep::kReadEventMask, "\n openInterface !GetCommMask", VARNO_E_REFUSED_READ_SETTINGS},
    {OpenStep::kReadLineSettings, "\n openInterface !GetCommState", VARNO_E_REFUSED_READ_SETTINGS},
    {OpenStep::kReadTimeouts, "\n openInterface !GetCommTimeouts", VARNO_E_REFUSED_READ_SETTINGS},
    {OpenStep::kSetQueueSizes, "\n openInterface !SetupComm", VARNO_E_REFUSED_QUEUES},
    {OpenStep::kApplyLineSettings, "\n openInterface !SetCommState", VARNO_E_REFUSED_LINE_SETTINGS},
    {OpenStep::kApplyTimeouts, "\n openInterface !SetCommTimeouts", VARNO_E_REFUSED_TIMEOUTS},
    {OpenStep::kApplyEventMask, "\n openInterface !SetCommMask", VARNO_E_REFUSED_EVENT_MASK},
    {OpenStep::kClearErrors, "\n openInterface !ClearCommError", VARNO_E_REFUSED_CLEAR_ERRORS},
};

const StepPolicy* policyOf(OpenStep step) {
  for (const StepPolicy& p : kSteps) {
    if (p.step == step) return &p;
  }
  return nullptr;
}

}  // namespace

const char* classicOpenText(OpenStep step) {
  const StepPolicy* p = policyOf(step);
  return p != nullptr ? p->text : "";
}

std::int32_t openFailureCode(const OpenStatus& status) {
  const StepPolicy* p = policyOf(status.failed);
  if (p == nullptr) return 0;
  // The events are the port's own: whatever the system said, it had none to give.
  if (status.failed == OpenStep::kCreateEvents) return p->code;
  switch (status.error) {
    case PortError::kNone:
      return p->code;
    case PortError::kNotFound:
      return VARNO_E_NOT_FOUND;
    case PortError::kPermission:
      return VARNO_E_PERMISSION;
    case PortError::kInUse:
      return VARNO_E_IN_USE;
    case PortError::kNotSerial:
      return VARNO_E_NOT_SERIAL;
    case PortError::kResources:
      return VARNO_E_RESOURCES;
    case PortError::kSystem:
      return VARNO_E_SYSTEM;
    case PortError::kBadName:
      return VARNO_E_ARGUMENT;
  }
  return p->code;
}

}  // namespace varno
