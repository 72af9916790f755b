#include "node/registration.h"

#include <cstring>

#include "monitor/log_record.h"
#include "platform/ipv4.h"

namespace mirx {

void send_registration_reply(conference& c, const std::uint8_t* request, std::uint32_t sender_ip) {
  std::uint8_t answer[reply::size];
  std::memcpy(answer, request, reply::size);
  std::memcpy(answer + reply::reply_id, reply::id, sizeof reply::id);
  c.net.send_to_node(answer, sizeof answer, sender_ip);
}

void register_node(conference& c, std::uint32_t sender_ip, const std::uint8_t* request) {
  const callsign call1 = callsign_of(request + reg::call1);
  const node_entry* known = c.table.find(call1);
  if (known == nullptr) {
    c.out.both(shown::debug, "Not found entry table: %.8s %.8s\n",
               printable(callsign_of(request + reg::call2)).text, printable(call1).text);
    add_node(c, sender_ip, request);
    return;
  }
  if (known->ip == sender_ip) return;  // same node, same place: nothing changes
  c.out.stamped(shown::event, "Node IP address updated %.8s %.8s from %s to %s\n",
                printable(known->call1).text, printable(known->call2).text, dotted(known->ip).text,
                dotted(sender_ip).text);
  if (!c.table.move(known, sender_ip, callsign_of(request + reg::call2)))
    c.out.say(shown::always, "Out of memory: move of %.8s dropped\n", printable(call1).text);
}

void add_node(conference& c, std::uint32_t sender_ip, const std::uint8_t* request) {
  const node_entry entry{callsign_of(request + reg::call1), callsign_of(request + reg::call2),
                         sender_ip};
  if (!c.table.append(entry)) {
    c.out.say(shown::always, "Out of memory: registration of %.8s dropped\n",
              printable(entry.call1).text);
    return;
  }
  c.out.stamped(shown::event, "Node IP address added %.8s %.8s %s\n", printable(entry.call1).text,
                printable(entry.call2).text, dotted(sender_ip).text);
  const record::bytes added =
      record::node_event(record::tag_add, entry.call1, entry.call2, sender_ip);
  c.net.send_to_log_server(added.data(), added.size());
}

void remove_node(conference& c, std::uint32_t sender_ip) {
  const node_entry* gone = c.table.first_at(sender_ip);
  if (gone != nullptr) remove_entry(c, gone);
}

void remove_entry(conference& c, const node_entry* gone) {
  c.out.stamped(shown::event, "Deleted from table: %.8s %.8s\n", printable(gone->call2).text,
                printable(gone->call1).text);
  const record::bytes removed =
      record::node_event(record::tag_del, gone->call1, gone->call2, gone->ip);
  c.net.send_to_log_server(removed.data(), removed.size());
  c.table.remove(gone);
}

bool restore_node(conference& c, const node_entry& entry) {
  if (!c.table.append(entry)) return false;
  c.out.write_log("%.24s Node IP address restored %.8s %.8s %s\n", time_stamp().text,
                  printable(entry.call1).text, printable(entry.call2).text, dotted(entry.ip).text);
  const record::bytes added =
      record::node_event(record::tag_add, entry.call1, entry.call2, entry.ip);
  c.net.send_to_log_server(added.data(), added.size());
  return true;
}

}  // namespace mirx
