// xoon-play's MPRIS service through GLib's GDBus: the root and Player interfaces, their
// methods, properties and PropertiesChanged, dispatched on the main thread by iterating
// GLib's main context once per frame.
#include "programs/xoon-play/mpris.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static const char busName[] = "org.mpris.MediaPlayer2.xoon";
static const char objectPath[] = "/org/mpris/MediaPlayer2";
static const char rootInterface[] = "org.mpris.MediaPlayer2";
static const char playerInterface[] = "org.mpris.MediaPlayer2.Player";

static const char introspection[] =
    "<node>"
    " <interface name='org.mpris.MediaPlayer2'>"
    "  <method name='Raise'/><method name='Quit'/>"
    "  <property name='CanQuit' type='b' access='read'/>"
    "  <property name='CanRaise' type='b' access='read'/>"
    "  <property name='HasTrackList' type='b' access='read'/>"
    "  <property name='Identity' type='s' access='read'/>"
    "  <property name='SupportedUriSchemes' type='as' access='read'/>"
    "  <property name='SupportedMimeTypes' type='as' access='read'/>"
    " </interface>"
    " <interface name='org.mpris.MediaPlayer2.Player'>"
    "  <method name='Next'/><method name='Previous'/><method name='Pause'/>"
    "  <method name='PlayPause'/><method name='Stop'/><method name='Play'/>"
    "  <method name='Seek'><arg direction='in' name='Offset' type='x'/></method>"
    "  <method name='SetPosition'><arg direction='in' name='TrackId' type='o'/>"
    "   <arg direction='in' name='Position' type='x'/></method>"
    "  <method name='OpenUri'><arg direction='in' name='Uri' type='s'/></method>"
    "  <signal name='Seeked'><arg name='Position' type='x'/></signal>"
    "  <property name='PlaybackStatus' type='s' access='read'/>"
    "  <property name='LoopStatus' type='s' access='readwrite'/>"
    "  <property name='Rate' type='d' access='readwrite'/>"
    "  <property name='Shuffle' type='b' access='readwrite'/>"
    "  <property name='Metadata' type='a{sv}' access='read'/>"
    "  <property name='Volume' type='d' access='readwrite'/>"
    "  <property name='Position' type='x' access='read'/>"
    "  <property name='MinimumRate' type='d' access='read'/>"
    "  <property name='MaximumRate' type='d' access='read'/>"
    "  <property name='CanGoNext' type='b' access='read'/>"
    "  <property name='CanGoPrevious' type='b' access='read'/>"
    "  <property name='CanPlay' type='b' access='read'/>"
    "  <property name='CanPause' type='b' access='read'/>"
    "  <property name='CanSeek' type='b' access='read'/>"
    "  <property name='CanControl' type='b' access='read'/>"
    " </interface>"
    "</node>";

static MprisControls controls;
static MprisState state;
static GDBusConnection* connection = nullptr;
static GDBusNodeInfo* node = nullptr;
static bool running = false;

static GVariant* metadata(const MprisState& s) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", "mpris:trackid", g_variant_new_object_path(s.trackId.c_str()));
    if (s.lengthUs > 0) g_variant_builder_add(&b, "{sv}", "mpris:length", g_variant_new_int64(s.lengthUs));
    if (!s.title.empty()) g_variant_builder_add(&b, "{sv}", "xesam:title", g_variant_new_string(s.title.c_str()));
    if (!s.artist.empty()) {
        const gchar* artists[] = {s.artist.c_str(), nullptr};
        g_variant_builder_add(&b, "{sv}", "xesam:artist", g_variant_new_strv(artists, 1));
    }
    if (!s.album.empty()) g_variant_builder_add(&b, "{sv}", "xesam:album", g_variant_new_string(s.album.c_str()));
    if (!s.url.empty()) g_variant_builder_add(&b, "{sv}", "xesam:url", g_variant_new_string(s.url.c_str()));
    if (!s.artUrl.empty()) g_variant_builder_add(&b, "{sv}", "mpris:artUrl", g_variant_new_string(s.artUrl.c_str()));
    return g_variant_builder_end(&b);
}

static GVariant* property(const char* interface, const char* name) {
    const std::string n = name;
    if (g_strcmp0(interface, rootInterface) == 0) {
        if (n == "CanQuit" || n == "CanRaise") return g_variant_new_boolean(TRUE);
        if (n == "HasTrackList") return g_variant_new_boolean(FALSE);
        if (n == "Identity") return g_variant_new_string("xOOn 2009");
        if (n == "SupportedUriSchemes") {
            const gchar* schemes[] = {"file", nullptr};
            return g_variant_new_strv(schemes, -1);
        }
        if (n == "SupportedMimeTypes") {
            const gchar* types[] = {"audio/mpeg", "audio/flac", "audio/ogg", "audio/opus", "audio/x-wav",
                                    "audio/mp4", "audio/aac", nullptr};
            return g_variant_new_strv(types, -1);
        }
        return nullptr;
    }
    if (n == "PlaybackStatus") return g_variant_new_string(state.status.c_str());
    if (n == "LoopStatus") return g_variant_new_string(state.loop ? "Playlist" : "None");
    if (n == "Rate" || n == "MinimumRate" || n == "MaximumRate") return g_variant_new_double(1.0);
    if (n == "Shuffle") return g_variant_new_boolean(state.shuffle);
    if (n == "Metadata") return metadata(state);
    if (n == "Volume") return g_variant_new_double(state.volume);
    if (n == "Position") return g_variant_new_int64(controls.position());
    if (n == "CanGoNext") return g_variant_new_boolean(state.canNext);
    if (n == "CanGoPrevious") return g_variant_new_boolean(state.canPrevious);
    if (n == "CanPlay" || n == "CanPause" || n == "CanSeek" || n == "CanControl") return g_variant_new_boolean(TRUE);
    return nullptr;
}

static void onMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
    const std::string m = method;
    if (m == "Raise") controls.raise();
    else if (m == "Quit") {
        g_dbus_method_invocation_return_value(invocation, nullptr);
        g_dbus_connection_flush_sync(connection, nullptr, nullptr);
        controls.quit();
        return;
    } else if (m == "Next") controls.next();
    else if (m == "Previous") controls.previous();
    else if (m == "Pause") controls.pause();
    else if (m == "PlayPause") controls.playPause();
    else if (m == "Stop") controls.stop();
    else if (m == "Play") controls.play();
    else if (m == "Seek") {
        gint64 offset;
        g_variant_get(parameters, "(x)", &offset);
        controls.seekBy(offset);
    } else if (m == "SetPosition") {
        const gchar* track;
        gint64 position;
        g_variant_get(parameters, "(&ox)", &track, &position);
        controls.setPosition(track, position);
    } else if (m == "OpenUri") {
        const gchar* uri;
        g_variant_get(parameters, "(&s)", &uri);
        controls.openUri(uri);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

static GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* name,
                       GError** error, gpointer) {
    GVariant* v = property(interface, name);
    if (!v) g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
    return v;
}

static gboolean onSet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GVariant* value,
                      GError** error, gpointer) {
    const std::string n = name;
    if (n == "Volume") controls.setVolume(g_variant_get_double(value));
    else if (n == "LoopStatus") controls.setLoop(g_strcmp0(g_variant_get_string(value, nullptr), "None") != 0);
    else if (n == "Shuffle") controls.setShuffle(g_variant_get_boolean(value));
    else if (n != "Rate") {
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_PROPERTY_READ_ONLY, "%s cannot be set", name);
        return FALSE;
    }
    return TRUE;
}

static const GDBusInterfaceVTable vtable = {onMethod, onGet, onSet, {}};

static void announce(const char* interface, GVariantBuilder* changed) {
    if (!connection) return;
    g_dbus_connection_emit_signal(connection, nullptr, objectPath, "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged",
                                  g_variant_new("(sa{sv}as)", interface, changed, nullptr), nullptr);
}

static void onBusAcquired(GDBusConnection* c, const gchar*, gpointer) {
    connection = c;
    for (int i = 0; i < 2; i++)
        g_dbus_connection_register_object(c, objectPath, node->interfaces[i], &vtable, nullptr, nullptr, nullptr);
}

static void onNameLost(GDBusConnection* c, const gchar* name, gpointer) {
    // Another player took the name first: this one is an instance of its own.
    if (!c || g_str_has_suffix(name, "xoon") == FALSE) return;
    char instance[96];
    snprintf(instance, sizeof instance, "%s.instance%d", busName, (int)getpid());
    g_bus_own_name_on_connection(c, instance, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, nullptr, nullptr, nullptr,
                                 nullptr);
}

// A session bus is there when its address is set or its socket stands where systemd puts
// it; never launched for us (GLib would start one on an X display).
static bool sessionBusThere() {
    const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime && access((std::string(runtime) + "/bus").c_str(), F_OK) == 0;
}

void startMpris(const MprisControls& c) {
    controls = c;
    if (!sessionBusThere()) return;
    node = g_dbus_node_info_new_for_xml(introspection, nullptr);
    if (!node) return;
    running = true;
    g_bus_own_name(G_BUS_TYPE_SESSION, busName, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, onBusAcquired, nullptr,
                   onNameLost, nullptr, nullptr);
}

void mprisDispatch() {
    if (running)
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
}

void mprisUpdate(const MprisState& s) {
    const MprisState before = state;
    state = s;
    if (!connection) return;
    GVariantBuilder player;
    g_variant_builder_init(&player, G_VARIANT_TYPE("a{sv}"));
    bool any = false;
    auto add = [&](const char* name, bool differs) {
        if (!differs) return;
        any = true;
        g_variant_builder_add(&player, "{sv}", name, property(playerInterface, name));
    };
    add("PlaybackStatus", before.status != s.status);
    add("Metadata", before.trackId != s.trackId || before.lengthUs != s.lengthUs || before.title != s.title ||
                        before.artist != s.artist || before.album != s.album || before.url != s.url ||
                        before.artUrl != s.artUrl);
    add("Volume", before.volume != s.volume);
    add("LoopStatus", before.loop != s.loop);
    add("Shuffle", before.shuffle != s.shuffle);
    add("CanGoNext", before.canNext != s.canNext);
    add("CanGoPrevious", before.canPrevious != s.canPrevious);
    if (any) announce(playerInterface, &player);
    else g_variant_builder_clear(&player);
}

void mprisSeeked(int64_t microseconds) {
    if (connection)
        g_dbus_connection_emit_signal(connection, nullptr, objectPath, playerInterface, "Seeked",
                                      g_variant_new("(x)", (gint64)microseconds), nullptr);
}
