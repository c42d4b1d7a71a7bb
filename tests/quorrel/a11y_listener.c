// Listens on the accessibility bus at argv[1] as a screen reader does: it
// registers for the text-changed events with the registry, which is what
// makes the toolkit send them, and prints each as "KIND TEXT" on a line.
#include <dbus/dbus.h>
#include <stdio.h>

static DBusConnection *_connect(const char *address)
{
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *bus = dbus_connection_open_private(address, &error);
    if (!bus || !dbus_bus_register(bus, &error))
        return NULL;
    dbus_bus_add_match(bus, "type='signal',interface='org.a11y.atspi.Event.Object',member='TextChanged'",
                       &error);
    DBusMessage *call = dbus_message_new_method_call("org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                                                     "org.a11y.atspi.Registry", "RegisterEvent");
    const char *event = "object:text-changed", *app = "";
    DBusMessageIter args, properties;
    dbus_message_iter_init_append(call, &args);
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &event);
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &properties);
    dbus_message_iter_close_container(&args, &properties);
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &app);
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(bus, call, -1, &error);
    dbus_message_unref(call);
    if (!reply)
        return NULL;
    dbus_message_unref(reply);
    return bus;
}

int main(int argc, char **argv)
{
    DBusConnection *bus = argc == 2 ? _connect(argv[1]) : NULL;
    if (!bus)
        return 1;
    printf("listening\n");
    fflush(stdout);
    while (dbus_connection_read_write(bus, -1)) {
        DBusMessage *m;
        while ((m = dbus_connection_pop_message(bus))) {
            // The signal's arguments: the kind, two numbers, the text in a variant.
            DBusMessageIter args, data;
            const char *kind = "", *text = "";
            if (dbus_message_is_signal(m, "org.a11y.atspi.Event.Object", "TextChanged") &&
                dbus_message_iter_init(m, &args) &&
                dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_STRING) {
                dbus_message_iter_get_basic(&args, &kind);
                for (int i = 0; i < 3; i++)
                    dbus_message_iter_next(&args);
                if (dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_VARIANT) {
                    dbus_message_iter_recurse(&args, &data);
                    if (dbus_message_iter_get_arg_type(&data) == DBUS_TYPE_STRING)
                        dbus_message_iter_get_basic(&data, &text);
                }
                printf("%s %s\n", kind, text);
                fflush(stdout);
            }
            dbus_message_unref(m);
        }
    }
    return 0;
}
