#include "node/send_retry.h"

#include "platform/ipv4.h"
#include "platform/platform.h"

namespace mirx {

void send_with_retry(conference& c, const std::uint8_t* data, std::size_t length, std::uint32_t ip,
                     const retry_rule& rule) {
  const int error = c.net.send_to_node(data, length, ip);
  if (error != 0) handle_send_failure(c, data, length, ip, rule, error);
}

void handle_send_failure(conference& c, const std::uint8_t* data, std::size_t length,
                         std::uint32_t ip, const retry_rule& rule, int error) {
  if (rule.also_log)
    c.out.both(shown::always, "send error %d:%d %x\n", rule.line_number, error, address_as_hex(ip));
  else
    c.out.say(shown::always, "send error %d:%d %x\n", rule.line_number, error, address_as_hex(ip));
  const int no_space = platform::no_buffer_space_code();
  while (error == no_space) {
    c.net.wait_ms(rule.wait_ms);
    error = c.net.send_to_node(data, length, ip);
  }
}

}  // namespace mirx
