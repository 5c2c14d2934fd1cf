#include "platform/linux/bus/agent_client.h"

#include "notify/protocol.h"
#include "platform/linux/io/errno_text.h"

namespace trellis::lnx {

std::optional<std::string> callAgent(sd_bus* bus, std::string_view method, std::optional<bool> on) {
  constexpr uint64_t kTimeoutUsec = 10'000'000;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const std::string member(method);
  int r = sd_bus_message_new_method_call(bus, &call, protocol::kAgentBusName, protocol::kAgentObjectPath,
                                         protocol::kAgentInterface, member.c_str());
  if (r >= 0 && on) r = sd_bus_message_append(call, "b", static_cast<int>(*on));
  if (r >= 0) r = sd_bus_call(bus, call, kTimeoutUsec, &error, &reply);
  std::optional<std::string> reason;
  if (r < 0) {
    if (sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
      reason = "no agent runs on this bus";
    } else if (sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED)) {
      reason = std::string("access denied: ") + (error.message != nullptr ? error.message : "by the bus's policy");
    } else if (sd_bus_error_is_set(&error) && error.message != nullptr &&
               std::string_view(error.name).starts_with(std::string(protocol::kAgentInterface) + ".Error.")) {
      // The agent's own refusals say why in words.
      reason = std::string("the agent answered: ") + error.message;
    } else if (sd_bus_error_is_set(&error)) {
      reason = std::string(error.name) + (error.message != nullptr ? std::string(": ") + error.message : "");
    } else {
      reason = errnoText(r);
    }
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return reason;
}

}  // namespace trellis::lnx
