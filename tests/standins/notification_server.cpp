// Stand-in desktop notification service for tests: owns
// org.freedesktop.Notifications on the session bus, answers Notify with an id
// (the replaced one when given, else the next number) and CloseNotification,
// and appends one line per call to the file named by argv[1]:
//   ready
//   notify <replaces_id> <id> <urgency> <summary>|<body>
//   close <id>
#include <dbus/dbus.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::ofstream record;

void append(const std::string& line) { record << line << std::endl; }

// Reads Notify(s app, u replaces, s icon, s summary, s body, as actions,
// a{sv} hints, i timeout) far enough for the test to see what arrived.
DBusMessage* notify(DBusMessage* call, std::uint32_t& nextId) {
  DBusMessageIter args;
  dbus_message_iter_init(call, &args);
  const char* app = "";
  dbus_uint32_t replaces = 0;
  const char* icon = "";
  const char* summary = "";
  const char* body = "";
  dbus_message_iter_get_basic(&args, &app);
  dbus_message_iter_next(&args);
  dbus_message_iter_get_basic(&args, &replaces);
  dbus_message_iter_next(&args);
  dbus_message_iter_get_basic(&args, &icon);
  dbus_message_iter_next(&args);
  dbus_message_iter_get_basic(&args, &summary);
  dbus_message_iter_next(&args);
  dbus_message_iter_get_basic(&args, &body);
  dbus_message_iter_next(&args);  // actions
  dbus_message_iter_next(&args);  // hints
  int urgency = -1;
  DBusMessageIter hints;
  dbus_message_iter_recurse(&args, &hints);
  while (dbus_message_iter_get_arg_type(&hints) == DBUS_TYPE_DICT_ENTRY) {
    DBusMessageIter entry, variant;
    dbus_message_iter_recurse(&hints, &entry);
    const char* key = "";
    dbus_message_iter_get_basic(&entry, &key);
    dbus_message_iter_next(&entry);
    dbus_message_iter_recurse(&entry, &variant);
    if (std::strcmp(key, "urgency") == 0 &&
        dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_BYTE) {
      unsigned char value = 0;
      dbus_message_iter_get_basic(&variant, &value);
      urgency = value;
    }
    dbus_message_iter_next(&hints);
  }
  dbus_uint32_t id = replaces != 0 ? replaces : nextId++;
  append("notify " + std::to_string(replaces) + " " + std::to_string(id) + " " +
         std::to_string(urgency) + " " + summary + "|" + body);
  DBusMessage* reply = dbus_message_new_method_return(call);
  dbus_message_append_args(reply, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID);
  return reply;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  record.open(argv[1], std::ios::app);
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_bus_get(DBUS_BUS_SESSION, &error);
  if (!bus) return 1;
  if (dbus_bus_request_name(bus, "org.freedesktop.Notifications", DBUS_NAME_FLAG_DO_NOT_QUEUE,
                            &error) != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
    return 1;
  }
  append("ready");
  std::uint32_t nextId = 1;
  while (dbus_connection_read_write(bus, -1)) {
    while (DBusMessage* call = dbus_connection_pop_message(bus)) {
      DBusMessage* reply = nullptr;
      if (dbus_message_is_method_call(call, "org.freedesktop.Notifications", "Notify")) {
        reply = notify(call, nextId);
      } else if (dbus_message_is_method_call(call, "org.freedesktop.Notifications",
                                             "CloseNotification")) {
        dbus_uint32_t id = 0;
        dbus_message_get_args(call, nullptr, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID);
        append("close " + std::to_string(id));
        reply = dbus_message_new_method_return(call);
      }
      if (reply) {
        dbus_connection_send(bus, reply, nullptr);
        dbus_message_unref(reply);
      }
      dbus_message_unref(call);
    }
  }
  return 0;
}
