// A media-control client that floods a player with OpenUri calls, written on GDBus (its own
// I/O thread), so that what breaks under the flood can only be the player.
// Usage: dbusflood <calls> <uri bytes>. Prints one line: "<errors> <replies> <timeouts>",
// then pings the player and exits 0 when it answered.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gio/gio.h>

static int pending, errors, replies, timeouts;

static void done(GObject* source, GAsyncResult* result, gpointer loop) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply) {
        ++replies;
        g_variant_unref(reply);
    } else {
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
            ++timeouts;
        else
            ++errors;
        g_error_free(error);
    }
    if (--pending == 0)
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
}

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const int calls = atoi(argv[1]);
    const size_t bytes = (size_t)atol(argv[2]);
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus)
        return 3;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    char* uri = static_cast<char*>(g_malloc(bytes + 1));
    memcpy(uri, "file:///", 8);
    memset(uri + 8, 'a', bytes - 8);
    uri[bytes] = 0;
    for (int i = 0; i < calls; ++i) {
        uri[9] = (char)('a' + i % 26);
        ++pending;
        g_dbus_connection_call(bus, "org.mpris.MediaPlayer2.orvane", "/org/mpris/MediaPlayer2",
                               "org.mpris.MediaPlayer2.Player", "OpenUri",
                               g_variant_new("(s)", uri), nullptr, G_DBUS_CALL_FLAGS_NONE, 120000,
                               NULL, done, loop);
    }
    g_main_loop_run(loop);
    printf("%d %d %d\n", errors, replies, timeouts);
    GVariant* pong =
        g_dbus_connection_call_sync(bus, "org.mpris.MediaPlayer2.orvane", "/org/mpris/MediaPlayer2",
                                    "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    printf("%s\n", pong ? "pong" : "no pong");
    fflush(stdout);
    return pong ? 0 : 1;
}
