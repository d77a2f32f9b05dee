#include "platform/events/portal/PortalEventSystem.hpp"

#include "platform/FileSystem.hpp"
#include "platform/events/portal/PortalInput.hpp"
#include "transport/CFormat.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <gio/gio.h>
#include <glib-unix.h>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace ravnix {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";
constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
constexpr const char* kDisplayConfigState =
    "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})";
constexpr std::uint32_t kKeyboard = 1;
constexpr std::uint32_t kPointer = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::size_t kOutboxCapacity = 1024;
constexpr std::size_t kLargestToken = 4096;
constexpr const char* kTokenFile = "portal-restore-token";
constexpr auto kShutdownLimit = std::chrono::milliseconds(1000);

struct VariantDeleter {
    void operator()(GVariant* variant) const noexcept { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantDeleter>;

// Owns the GError a GLib call may leave.
class ErrorSlot {
  public:
    ErrorSlot() = default;
    ~ErrorSlot() {
        if (error != nullptr) {
            g_error_free(error);
        }
    }
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    GError** out() noexcept { return &error; }
    bool matches(GQuark domain, int code) const noexcept {
        return error != nullptr && g_error_matches(error, domain, code);
    }
    bool isCancelled() const noexcept {
        return error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    }
    std::string message() const {
        if (error == nullptr) {
            return "bilinmeyen hata";
        }
        // The remote error's name says more than its text for the usual cases.
        std::string text = error->message != nullptr ? error->message : "";
        if (char* remote = g_dbus_error_get_remote_error(error); remote != nullptr) {
            g_dbus_error_strip_remote_error(error);
            text = std::string(remote) + ": " + (error->message != nullptr ? error->message : "");
            g_free(remote);
        }
        return text;
    }

  private:
    GError* error = nullptr;
};

// The value of `key` in a vardict when it has type `type`: none when missing or mistyped.
VariantPtr lookup(GVariant* dictionary, const char* key, const GVariantType* type) {
    if (dictionary == nullptr || !g_variant_is_of_type(dictionary, G_VARIANT_TYPE_VARDICT)) {
        return nullptr;
    }
    return VariantPtr(g_variant_lookup_value(dictionary, key, type));
}

bool hasKey(GVariant* dictionary, const char* key) {
    return lookup(dictionary, key, nullptr) != nullptr;
}

bool isValidToken(const std::string& token) {
    return !token.empty() && token.size() <= kLargestToken &&
           g_utf8_validate(token.data(), static_cast<gssize>(token.size()), nullptr) == TRUE;
}

std::string describeScreens(const ScreenList& screens) {
    std::string text = formatC("sayi=%zu", screens.count);
    for (const Rect& frame : screens) {
        text += formatC(" %.0fx%.0f+%.0f+%.0f", frame.width, frame.height, frame.x, frame.y);
    }
    return text;
}

// The logical monitors of mutter's DisplayConfig.GetCurrentState answer, primary first, or
// none when the answer is not what the interface promises.
std::optional<ScreenList> screensFromDisplayConfig(GVariant* state) {
    if (state == nullptr || !g_variant_is_of_type(state, G_VARIANT_TYPE(kDisplayConfigState))) {
        return std::nullopt;
    }
    VariantPtr monitors(g_variant_get_child_value(state, 1));
    VariantPtr logical(g_variant_get_child_value(state, 2));
    VariantPtr properties(g_variant_get_child_value(state, 3));
    std::uint32_t layoutMode = 1; // logical: monitor sizes are divided by their scale
    if (auto mode = lookup(properties.get(), "layout-mode", G_VARIANT_TYPE_UINT32)) {
        layoutMode = g_variant_get_uint32(mode.get());
    }
    // The current mode's size of the monitor with connector `connector`.
    auto currentSize = [&](const char* connector) -> std::optional<std::pair<int, int>> {
        const gsize count = g_variant_n_children(monitors.get());
        for (gsize i = 0; i < count; ++i) {
            VariantPtr monitor(g_variant_get_child_value(monitors.get(), i));
            const char* name = nullptr;
            g_variant_get_child(monitor.get(), 0, "(&s&s&s&s)", &name, nullptr, nullptr, nullptr);
            if (name == nullptr || g_strcmp0(name, connector) != 0) {
                continue;
            }
            VariantPtr modes(g_variant_get_child_value(monitor.get(), 1));
            const gsize modeCount = g_variant_n_children(modes.get());
            for (gsize m = 0; m < modeCount; ++m) {
                VariantPtr modeValue(g_variant_get_child_value(modes.get(), m));
                gint32 width = 0, height = 0;
                g_variant_get_child(modeValue.get(), 1, "i", &width);
                g_variant_get_child(modeValue.get(), 2, "i", &height);
                VariantPtr modeProperties(g_variant_get_child_value(modeValue.get(), 6));
                auto current = lookup(modeProperties.get(), "is-current", G_VARIANT_TYPE_BOOLEAN);
                if (current && g_variant_get_boolean(current.get())) {
                    return std::pair{width, height};
                }
            }
        }
        return std::nullopt;
    };
    std::array<Rect, ScreenList::capacity> frames{};
    std::size_t count = 0;
    const gsize logicalCount = g_variant_n_children(logical.get());
    for (gsize i = 0; i < logicalCount && count < frames.size(); ++i) {
        VariantPtr entry(g_variant_get_child_value(logical.get(), i));
        gint32 x = 0, y = 0;
        double scale = 1;
        guint32 transform = 0;
        gboolean primary = FALSE;
        g_variant_get_child(entry.get(), 0, "i", &x);
        g_variant_get_child(entry.get(), 1, "i", &y);
        g_variant_get_child(entry.get(), 2, "d", &scale);
        g_variant_get_child(entry.get(), 3, "u", &transform);
        g_variant_get_child(entry.get(), 4, "b", &primary);
        VariantPtr monitorIds(g_variant_get_child_value(entry.get(), 5));
        if (g_variant_n_children(monitorIds.get()) == 0) {
            continue;
        }
        const char* connector = nullptr;
        g_variant_get_child(monitorIds.get(), 0, "(&s&s&s&s)", &connector, nullptr, nullptr,
                            nullptr);
        const auto size = currentSize(connector);
        if (!size || size->first <= 0 || size->second <= 0) {
            continue;
        }
        double width = size->first;
        double height = size->second;
        if (transform % 2 == 1) { // turned by 90 or 270 degrees
            std::swap(width, height);
        }
        if (layoutMode == 1 && std::isfinite(scale) && scale > 0) {
            width /= scale;
            height /= scale;
        }
        const Rect frame{static_cast<double>(x), static_cast<double>(y), width, height};
        if (primary && count > 0) {
            std::move_backward(frames.begin(), frames.begin() + count, frames.begin() + count + 1);
            frames[0] = frame;
        } else {
            frames[count] = frame;
        }
        ++count;
    }
    return screenListFromTopLeft(std::span<const Rect>(frames.data(), count));
}

} // namespace

struct PortalEventSystem::Worker {
    explicit Worker(PortalOptions portalOptions);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // The request's steps, in order.
    enum class Step { idle, connecting, properties, create, select, start, running };

    // Any thread.
    void post(const InputEvent& event);
    Point location();
    ScreenList currentScreens() const;
    void setScreens(const ScreenList& screens, const std::string& origin, bool injected);
    void log(const std::string& line) const;
    void setStatus(bool trusted, bool requesting, const std::string& reason);
    void invoke(void (*function)(Worker&));

    // Portal thread only.
    void run();
    void begin();
    void connect();
    void onConnected(GDBusConnection* connection);
    void askProperties();
    void onProperties(GVariant* reply);
    void createSession();
    void selectDevices();
    void startSession();
    void onResponse(std::uint32_t response, GVariant* results);
    void onStarted(GVariant* results);
    void fail(const std::string& reason);
    void closeSession();
    void closeRequest();
    void subscribeResponse(const std::string& path);
    void unsubscribeResponse();
    void armDeadline(std::chrono::milliseconds limit);
    void cancelDeadline();
    void onBusClosed();
    void onPortalVanished();
    void drainOutbox();
    void send(const PortalCall& call);
    void sendOneWay(const char* path, const char* interface, const char* method, GVariant* body);
    void fetchScreens();
    void shutdown();
    std::string requestPathFor(const std::string& token) const;
    const char* stepName() const noexcept;
    void loadRestoreToken();
    void storeRestoreToken(const std::string& token);
    void forgetRestoreToken();

    // A call's callback checks that its request is still the current one.
    struct Pending {
        Worker* worker;
        std::uint64_t attempt;
    };
    Pending* pending() { return new Pending{this, attempt}; }

    const PortalOptions options;

    // Shared with the posting threads.
    mutable std::mutex outboxLock; // guards outbox, outboxHead, outboxCount, input, hasPosition,
                                   // wakePending: what has been posted, in order
    std::array<PortalCall, kOutboxCapacity> outbox{};
    std::size_t outboxHead = 0;
    std::size_t outboxCount = 0;
    PortalInput input;
    bool hasPosition = false;
    bool wakePending = false;
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<bool> trusted{false};
    std::atomic<bool> keyboardGranted{false};

    mutable std::mutex screensLock; // guards screenList, screenOrigin, screensInjected
    ScreenList screenList;
    std::string screenOrigin = "yok: henuz okunmadi (kirpma yok)";
    bool screensInjected = false;

    mutable std::mutex statusLock; // guards status
    Status status;

    // The portal thread's own.
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    int wakeFd = -1;
    GSource* wakeSource = nullptr;
    std::thread thread;

    GDBusConnection* bus = nullptr;
    gulong closedHandler = 0;
    guint nameWatch = 0;
    guint monitorsChanged = 0;
    bool portalOwned = false;
    GCancellable* cancellable = nullptr;
    Step step = Step::idle;
    std::uint64_t attempt = 0;
    unsigned serial = 0;
    std::uint32_t version = 0;
    std::string sessionHandle;
    std::string requestPath;
    guint responseSubscription = 0;
    guint sessionClosedSubscription = 0;
    GSource* deadline = nullptr;
    std::chrono::milliseconds deadlineLimit{0};
    std::string restoreToken;
    bool sentRestoreToken = false;
    bool stopping = false;
    bool isSending = false;         // a call of the outbox awaits its answer
    std::uint64_t sendFailures = 0; // of this session; the first is logged
    GVariant* emptyOptions = nullptr;
    GVariant* finishOptions = nullptr;
};

PortalEventSystem::Worker::Worker(PortalOptions portalOptions) : options(std::move(portalOptions)) {
    context = g_main_context_new();
    loop = g_main_loop_new(context, FALSE);
    cancellable = g_cancellable_new();
    emptyOptions = g_variant_ref_sink(g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0));
    GVariantBuilder finish;
    g_variant_builder_init(&finish, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&finish, "{sv}", "finish", g_variant_new_boolean(TRUE));
    finishOptions = g_variant_ref_sink(g_variant_builder_end(&finish));
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd >= 0) {
        wakeSource = g_unix_fd_source_new(wakeFd, G_IO_IN);
        g_source_set_callback(wakeSource,
                              G_SOURCE_FUNC(+[](gint fd, GIOCondition, gpointer data) -> gboolean {
                                  std::uint64_t count = 0;
                                  (void)!::read(fd, &count, sizeof count);
                                  static_cast<Worker*>(data)->drainOutbox();
                                  return G_SOURCE_CONTINUE;
                              }),
                              this, nullptr);
        g_source_attach(wakeSource, context);
    }
    status.reason = "izin henuz istenmedi";
    thread = std::thread([this] { run(); });
}

PortalEventSystem::Worker::~Worker() {
    invoke([](Worker& self) { self.shutdown(); });
    if (thread.joinable()) {
        thread.join();
    }
    // The thread has ended: what it owned is released here.
    if (nameWatch != 0) {
        g_bus_unwatch_name(nameWatch);
    }
    if (bus != nullptr) {
        if (closedHandler != 0) {
            g_signal_handler_disconnect(bus, closedHandler);
        }
        g_object_unref(bus);
    }
    if (deadline != nullptr) {
        g_source_destroy(deadline);
        g_source_unref(deadline);
    }
    if (wakeSource != nullptr) {
        g_source_destroy(wakeSource);
        g_source_unref(wakeSource);
    }
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
    g_object_unref(cancellable);
    g_variant_unref(emptyOptions);
    g_variant_unref(finishOptions);
    g_main_loop_unref(loop);
    g_main_context_unref(context);
}

void PortalEventSystem::Worker::invoke(void (*function)(Worker&)) {
    struct Call {
        Worker* worker;
        void (*function)(Worker&);
    };
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        +[](gpointer data) -> gboolean {
            auto* call = static_cast<Call*>(data);
            call->function(*call->worker);
            return G_SOURCE_REMOVE;
        },
        new Call{this, function}, +[](gpointer data) { delete static_cast<Call*>(data); });
}

void PortalEventSystem::Worker::run() {
    pthread_setname_np(pthread_self(), "ravnix.portal");
    g_main_context_push_thread_default(context);
    loadRestoreToken();
    if (options.requestAtStart) {
        begin();
    } else {
        connect();
    }
    g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
}

void PortalEventSystem::Worker::log(const std::string& line) const {
    if (options.onEvent) {
        options.onEvent("portal: " + line);
    }
}

void PortalEventSystem::Worker::setStatus(bool isTrusted, bool requesting,
                                          const std::string& reason) {
    {
        std::lock_guard lock(statusLock);
        status.isTrusted = isTrusted;
        status.isRequesting = requesting;
        status.version = version;
        status.reason = reason;
    }
    trusted.store(isTrusted, std::memory_order_release);
}

const char* PortalEventSystem::Worker::stepName() const noexcept {
    switch (step) {
    case Step::idle:
        return "bos";
    case Step::connecting:
        return "veri yolu";
    case Step::properties:
        return "RemoteDesktop";
    case Step::create:
        return "CreateSession";
    case Step::select:
        return "SelectDevices";
    case Step::start:
        return "Start";
    case Step::running:
        return "oturum";
    }
    return "?";
}

std::string PortalEventSystem::Worker::requestPathFor(const std::string& token) const {
    // The portal names a request after the caller's unique name: ":1.42" → "1_42".
    std::string sender = bus != nullptr ? g_dbus_connection_get_unique_name(bus) : "";
    if (!sender.empty() && sender.front() == ':') {
        sender.erase(0, 1);
    }
    std::replace(sender.begin(), sender.end(), '.', '_');
    return std::string(kPortalPath) + "/request/" + sender + "/" + token;
}

// The request.

void PortalEventSystem::Worker::begin() {
    if (stopping) {
        return;
    }
    if (step == Step::running) {
        log("oturum zaten acik");
        return;
    }
    if (step != Step::idle) {
        log(formatC("izin istegi zaten suruyor (adim=%s)", stepName()));
        return;
    }
    ++attempt;
    g_object_unref(cancellable);
    cancellable = g_cancellable_new();
    std::string reason;
    {
        std::lock_guard lock(statusLock);
        reason = status.reason;
    }
    setStatus(false, true, reason);
    if (bus != nullptr && !g_dbus_connection_is_closed(bus)) {
        askProperties();
    } else {
        connect();
    }
}

void PortalEventSystem::Worker::connect() {
    if (bus != nullptr) {
        return;
    }
    std::string address = options.busAddress;
    if (address.empty()) {
        ErrorSlot error;
        gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, error.out());
        if (found == nullptr) {
            fail("oturum veri yolu yok: " + error.message());
            return;
        }
        address = found;
        g_free(found);
    }
    if (step == Step::idle && attempt == 0) {
        // Connecting only, for the screens: no request yet.
    } else {
        step = Step::connecting;
    }
    armDeadline(options.replyTimeout);
    g_dbus_connection_new_for_address(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable,
        +[](GObject*, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> call(static_cast<Pending*>(data));
            ErrorSlot error;
            GDBusConnection* connection =
                g_dbus_connection_new_for_address_finish(result, error.out());
            Worker& self = *call->worker;
            if (self.stopping || call->attempt != self.attempt) {
                if (connection != nullptr) {
                    g_object_unref(connection);
                }
                return;
            }
            self.cancelDeadline();
            if (connection == nullptr) {
                self.fail("oturum veri yoluna baglanilamadi: " + error.message());
                return;
            }
            self.onConnected(connection);
        },
        pending());
}

void PortalEventSystem::Worker::onConnected(GDBusConnection* connection) {
    bus = connection;
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    closedHandler = g_signal_connect(
        bus, "closed", G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
            static_cast<Worker*>(data)->onBusClosed();
        }),
        this);
    portalOwned = false;
    nameWatch = g_bus_watch_name_on_connection(
        bus, kPortalName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
            static_cast<Worker*>(data)->portalOwned = true;
        },
        +[](GDBusConnection*, const gchar*, gpointer data) {
            static_cast<Worker*>(data)->onPortalVanished();
        },
        this, nullptr);
    if (options.screensFromDisplayConfig) {
        monitorsChanged = g_dbus_connection_signal_subscribe(
            bus, kDisplayConfigName, kDisplayConfigName, "MonitorsChanged", kDisplayConfigPath,
            nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                gpointer data) { static_cast<Worker*>(data)->fetchScreens(); },
            this, nullptr);
        fetchScreens();
    }
    if (step == Step::connecting) {
        askProperties();
    }
}

void PortalEventSystem::Worker::askProperties() {
    step = Step::properties;
    g_dbus_connection_call(
        bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "GetAll",
        g_variant_new("(s)", kRemoteDesktop), nullptr, G_DBUS_CALL_FLAGS_NONE,
        static_cast<gint>(options.replyTimeout.count()), cancellable,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> call(static_cast<Pending*>(data));
            ErrorSlot error;
            VariantPtr reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
            Worker& self = *call->worker;
            if (self.stopping || call->attempt != self.attempt || error.isCancelled()) {
                return;
            }
            if (!reply) {
                self.fail("RemoteDesktop portali yok: " + error.message());
                return;
            }
            self.onProperties(reply.get());
        },
        pending());
}

void PortalEventSystem::Worker::onProperties(GVariant* reply) {
    if (!g_variant_is_of_type(reply, G_VARIANT_TYPE("(a{sv})"))) {
        fail("portal cevabi bozuk: RemoteDesktop ozellikleri");
        return;
    }
    VariantPtr properties(g_variant_get_child_value(reply, 0));
    auto versionValue = lookup(properties.get(), "version", G_VARIANT_TYPE_UINT32);
    auto typesValue = lookup(properties.get(), "AvailableDeviceTypes", G_VARIANT_TYPE_UINT32);
    if (!versionValue || !typesValue) {
        fail("portal cevabi bozuk: version veya AvailableDeviceTypes yok");
        return;
    }
    version = g_variant_get_uint32(versionValue.get());
    const std::uint32_t types = g_variant_get_uint32(typesValue.get());
    {
        std::lock_guard lock(statusLock);
        status.version = version;
    }
    if ((types & (kKeyboard | kPointer)) != (kKeyboard | kPointer)) {
        fail(formatC("portal isaretci ve klavye sunmuyor (cihazlar=%u)", types));
        return;
    }
    log(formatC("izin isteniyor surum=%u %s", version,
                version >= 2 ? "izin=hatirlanir" : "izin=oturum boyunca"));
    createSession();
}

void PortalEventSystem::Worker::subscribeResponse(const std::string& path) {
    unsubscribeResponse();
    requestPath = path;
    responseSubscription = g_dbus_connection_signal_subscribe(
        bus, kPortalName, kRequestInterface, "Response", path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar* objectPath, const gchar*, const gchar*,
            GVariant* parameters, gpointer data) {
            Worker& self = *static_cast<Worker*>(data);
            if (self.stopping || self.requestPath != objectPath) {
                return;
            }
            if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) {
                self.fail(formatC("portal cevabi bozuk: %s cevabinin turu %s", self.stepName(),
                                  g_variant_get_type_string(parameters)));
                return;
            }
            guint32 response = 0;
            GVariant* results = nullptr;
            g_variant_get(parameters, "(u@a{sv})", &response, &results);
            VariantPtr owned(results);
            self.onResponse(response, results);
        },
        this, nullptr);
}

void PortalEventSystem::Worker::unsubscribeResponse() {
    if (responseSubscription != 0 && bus != nullptr) {
        g_dbus_connection_signal_unsubscribe(bus, responseSubscription);
    }
    responseSubscription = 0;
    requestPath.clear();
}

void PortalEventSystem::Worker::armDeadline(std::chrono::milliseconds limit) {
    cancelDeadline();
    deadlineLimit = limit;
    deadline = g_timeout_source_new(static_cast<guint>(limit.count()));
    g_source_set_callback(
        deadline,
        +[](gpointer data) -> gboolean {
            Worker& self = *static_cast<Worker*>(data);
            g_source_unref(self.deadline);
            self.deadline = nullptr;
            self.closeRequest();
            self.fail(formatC("portal cevap vermedi: %s (%.1f s)",
                              self.bus == nullptr ? "veri yolu" : self.stepName(),
                              static_cast<double>(self.deadlineLimit.count()) / 1000.0));
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(deadline, context);
}

void PortalEventSystem::Worker::cancelDeadline() {
    if (deadline != nullptr) {
        g_source_destroy(deadline);
        g_source_unref(deadline);
        deadline = nullptr;
    }
}

// Sends a portal method call that needs an answer through its Request: the Response signal
// is subscribed before the call, on the path the portal will use.
namespace {
void callWithRequest(PortalEventSystem::Worker& worker, const char* method, GVariant* body);
}

void PortalEventSystem::Worker::createSession() {
    step = Step::create;
    ++serial;
    const std::string token = formatC("ravnix%u", serial);
    const std::string sessionToken = formatC("ravnix_oturum%u", serial);
    subscribeResponse(requestPathFor(token));
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&builder, "{sv}", "session_handle_token",
                          g_variant_new_string(sessionToken.c_str()));
    callWithRequest(*this, "CreateSession", g_variant_new("(a{sv})", &builder));
}

void PortalEventSystem::Worker::selectDevices() {
    step = Step::select;
    ++serial;
    const std::string token = formatC("ravnix%u", serial);
    subscribeResponse(requestPathFor(token));
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&builder, "{sv}", "types", g_variant_new_uint32(kKeyboard | kPointer));
    sentRestoreToken = false;
    if (version >= 2) {
        g_variant_builder_add(&builder, "{sv}", "persist_mode",
                              g_variant_new_uint32(kPersistUntilRevoked));
        if (!restoreToken.empty()) {
            g_variant_builder_add(&builder, "{sv}", "restore_token",
                                  g_variant_new_string(restoreToken.c_str()));
            sentRestoreToken = true;
        }
    }
    callWithRequest(*this, "SelectDevices",
                    g_variant_new("(oa{sv})", sessionHandle.c_str(), &builder));
}

void PortalEventSystem::Worker::startSession() {
    step = Step::start;
    ++serial;
    const std::string token = formatC("ravnix%u", serial);
    subscribeResponse(requestPathFor(token));
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    callWithRequest(*this, "Start",
                    g_variant_new("(osa{sv})", sessionHandle.c_str(), "", &builder));
}

namespace {
void callWithRequest(PortalEventSystem::Worker& worker, const char* method, GVariant* body) {
    // The dialog's answer may take the user a while; every other answer is quick.
    worker.armDeadline(worker.step == PortalEventSystem::Worker::Step::start
                           ? worker.options.consentTimeout
                           : worker.options.replyTimeout);
    g_dbus_connection_call(
        worker.bus, kPortalName, kPortalPath, kRemoteDesktop, method, body, nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<gint>(worker.options.replyTimeout.count()),
        worker.cancellable,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<PortalEventSystem::Worker::Pending> call(
                static_cast<PortalEventSystem::Worker::Pending*>(data));
            ErrorSlot error;
            VariantPtr reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
            auto& self = *call->worker;
            if (self.stopping || call->attempt != self.attempt || error.isCancelled()) {
                return;
            }
            if (!reply) {
                if (self.step == PortalEventSystem::Worker::Step::select && self.sentRestoreToken) {
                    // A token the portal no longer accepts: ask afresh, without it.
                    self.log("portal saklanan izni kabul etmedi, yeniden soruluyor: " +
                             error.message());
                    self.forgetRestoreToken();
                    self.selectDevices();
                    return;
                }
                self.fail(std::string("portal cagrisi basarisiz: ") + self.stepName() + ": " +
                          error.message());
                return;
            }
            if (!g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(o)"))) {
                self.fail(std::string("portal cevabi bozuk: ") + self.stepName() +
                          " istek tanitici vermedi");
                return;
            }
            const char* handle = nullptr;
            g_variant_get(reply.get(), "(&o)", &handle);
            // Portals older than the handle_token option choose their own path.
            if (self.requestPath != handle) {
                self.subscribeResponse(handle);
            }
        },
        worker.pending());
}
} // namespace

void PortalEventSystem::Worker::onResponse(std::uint32_t response, GVariant* results) {
    cancelDeadline();
    const Step answered = step;
    unsubscribeResponse();
    if (response == 1) {
        fail(std::string("kullanici uzaktan denetime izin vermedi (") + stepName() + ")");
        return;
    }
    if (response != 0) {
        fail(formatC("masaustu istegi sonlandirdi: %s cevap=%u", stepName(), response));
        return;
    }
    switch (answered) {
    case Step::create: {
        // The portal has sent the handle as a string and as an object path over the years.
        auto handle = lookup(results, "session_handle", nullptr);
        const char* text = nullptr;
        if (handle && (g_variant_is_of_type(handle.get(), G_VARIANT_TYPE_STRING) ||
                       g_variant_is_of_type(handle.get(), G_VARIANT_TYPE_OBJECT_PATH))) {
            text = g_variant_get_string(handle.get(), nullptr);
        }
        if (text == nullptr || !g_variant_is_object_path(text)) {
            fail(handle ? "portal cevabi bozuk: session_handle turu yanlis"
                        : "portal cevabi bozuk: session_handle yok");
            return;
        }
        sessionHandle = text;
        sessionClosedSubscription = g_dbus_connection_signal_subscribe(
            bus, kPortalName, kSessionInterface, "Closed", sessionHandle.c_str(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
                GVariant*, gpointer data) {
                Worker& self = *static_cast<Worker*>(data);
                if (!self.stopping && self.sessionHandle == path) {
                    self.sessionHandle.clear(); // closed already: nothing to close
                    self.fail("masaustu oturumu kapatti");
                }
            },
            this, nullptr);
        selectDevices();
        return;
    }
    case Step::select:
        startSession();
        return;
    case Step::start:
        onStarted(results);
        return;
    default:
        return;
    }
}

void PortalEventSystem::Worker::onStarted(GVariant* results) {
    auto devices = lookup(results, "devices", nullptr);
    if (!devices || !g_variant_is_of_type(devices.get(), G_VARIANT_TYPE_UINT32)) {
        fail(devices ? "portal cevabi bozuk: devices turu yanlis"
                     : "portal cevabi bozuk: devices yok");
        return;
    }
    const std::uint32_t granted = g_variant_get_uint32(devices.get());
    if ((granted & kPointer) == 0) {
        fail(formatC("masaustu isaretciyi vermedi (cihazlar=%u)", granted));
        return;
    }
    keyboardGranted.store((granted & kKeyboard) != 0, std::memory_order_relaxed);
    if (auto token = lookup(results, "restore_token", G_VARIANT_TYPE_STRING)) {
        storeRestoreToken(g_variant_get_string(token.get(), nullptr));
    } else if (hasKey(results, "restore_token")) {
        log("portal cevabinda restore_token turu yanlis: yok sayildi");
    }
    step = Step::running;
    sendFailures = 0;
    setStatus(true, false, "");
    log(formatC("oturum acildi surum=%u cihazlar=%u %s", version, granted,
                version >= 2 ? "izin=hatirlanir" : "izin=oturum boyunca"));
    if ((granted & kKeyboard) == 0) {
        log("masaustu klavyeyi vermedi: tuslar gonderilmeyecek");
    }
    if (options.onTrustChanged) {
        options.onTrustChanged(true, "");
    }
}

void PortalEventSystem::Worker::fail(const std::string& reason) {
    cancelDeadline();
    unsubscribeResponse();
    closeSession();
    if (step != Step::idle && step != Step::running) {
        // Calls of this request still under way end without effect.
        g_cancellable_cancel(cancellable);
    }
    ++attempt;
    step = Step::idle;
    {
        std::lock_guard lock(outboxLock);
        outboxHead = 0;
        outboxCount = 0;
    }
    setStatus(false, false, reason);
    log("izin yok: " + reason);
    if (options.onTrustChanged) {
        options.onTrustChanged(false, reason);
    }
}

void PortalEventSystem::Worker::closeSession() {
    if (sessionClosedSubscription != 0 && bus != nullptr) {
        g_dbus_connection_signal_unsubscribe(bus, sessionClosedSubscription);
    }
    sessionClosedSubscription = 0;
    if (!sessionHandle.empty()) {
        sendOneWay(sessionHandle.c_str(), kSessionInterface, "Close", nullptr);
        sessionHandle.clear();
    }
}

void PortalEventSystem::Worker::closeRequest() {
    if (!requestPath.empty()) {
        sendOneWay(requestPath.c_str(), kRequestInterface, "Close", nullptr);
    }
}

void PortalEventSystem::Worker::onBusClosed() {
    if (bus == nullptr) {
        return; // reported already
    }
    g_signal_handler_disconnect(bus, closedHandler);
    closedHandler = 0;
    if (nameWatch != 0) {
        g_bus_unwatch_name(nameWatch);
        nameWatch = 0;
    }
    for (guint* subscription :
         {&monitorsChanged, &responseSubscription, &sessionClosedSubscription}) {
        if (*subscription != 0) {
            g_dbus_connection_signal_unsubscribe(bus, *subscription);
            *subscription = 0;
        }
    }
    requestPath.clear();
    sessionHandle.clear(); // it went with the connection
    g_object_unref(bus);
    bus = nullptr;
    if (!stopping) {
        fail("oturum veri yolu kapandi");
    }
}

void PortalEventSystem::Worker::onPortalVanished() {
    if (bus != nullptr && g_dbus_connection_is_closed(bus)) {
        onBusClosed(); // the whole bus went, not only the portal
        return;
    }
    const bool wasOwned = portalOwned;
    portalOwned = false;
    // The first answer of the watch says "no owner" before activation: only a portal that
    // was there can leave.
    if (wasOwned && !stopping && step != Step::idle && step != Step::connecting) {
        sessionHandle.clear(); // its session went with it
        fail("portal veri yolundan ayrildi");
    }
}

// Sending.

void PortalEventSystem::Worker::post(const InputEvent& event) {
    if (!trusted.load(std::memory_order_acquire)) {
        return;
    }
    if (event.kind == InputEvent::Kind::keyboard &&
        !keyboardGranted.load(std::memory_order_relaxed)) {
        return;
    }
    bool wake = false;
    {
        std::lock_guard lock(outboxLock);
        const Point before = input.position();
        const PortalCalls calls = input.translate(event);
        if (calls.count == 0) {
            return;
        }
        if (outboxCount + calls.count > outbox.size()) {
            input.setPosition(before); // nothing of this event goes out
            dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        hasPosition = true;
        for (const auto& call : calls) {
            outbox[(outboxHead + outboxCount) % outbox.size()] = call;
            ++outboxCount;
        }
        wake = !wakePending;
        wakePending = true;
    }
    if (wake) {
        const std::uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }
}

void PortalEventSystem::Worker::drainOutbox() {
    // The frontend handles each call on a thread of a pool, so calls sent back to back can
    // overtake each other there: the next call leaves only when the previous one is answered.
    // Motion queued meanwhile travels as one step, their sum.
    for (std::size_t round = 0; round < outbox.size() && !isSending; ++round) {
        PortalCall call;
        {
            std::lock_guard lock(outboxLock);
            if (outboxCount == 0) {
                wakePending = false;
                return;
            }
            call = outbox[outboxHead];
            outboxHead = (outboxHead + 1) % outbox.size();
            --outboxCount;
            while (call.kind == PortalCall::Kind::motion && outboxCount > 0 &&
                   outbox[outboxHead].kind == PortalCall::Kind::motion) {
                call.dx += outbox[outboxHead].dx;
                call.dy += outbox[outboxHead].dy;
                outboxHead = (outboxHead + 1) % outbox.size();
                --outboxCount;
            }
        }
        if (step == Step::running && bus != nullptr) {
            send(call);
        } // else the session ended after the call was queued
    }
}

void PortalEventSystem::Worker::send(const PortalCall& call) {
    const char* handle = sessionHandle.c_str();
    const char* method = nullptr;
    GVariant* body = nullptr;
    switch (call.kind) {
    case PortalCall::Kind::motion:
        method = "NotifyPointerMotion";
        body = g_variant_new("(o@a{sv}dd)", handle, emptyOptions, call.dx, call.dy);
        break;
    case PortalCall::Kind::button:
        method = "NotifyPointerButton";
        body = g_variant_new("(o@a{sv}iu)", handle, emptyOptions, call.code, call.state);
        break;
    case PortalCall::Kind::axis:
        method = "NotifyPointerAxis";
        body = g_variant_new("(o@a{sv}dd)", handle, call.finish ? finishOptions : emptyOptions,
                             call.dx, call.dy);
        break;
    case PortalCall::Kind::discrete:
        method = "NotifyPointerAxisDiscrete";
        body = g_variant_new("(o@a{sv}ui)", handle, emptyOptions, static_cast<guint32>(call.code),
                             call.value);
        break;
    case PortalCall::Kind::key:
        method = "NotifyKeyboardKeycode";
        body = g_variant_new("(o@a{sv}iu)", handle, emptyOptions, call.code, call.state);
        break;
    }
    isSending = true;
    g_dbus_connection_call(
        bus, kPortalName, kPortalPath, kRemoteDesktop, method, body, nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<gint>(options.replyTimeout.count()), nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> call(static_cast<Pending*>(data));
            ErrorSlot error;
            VariantPtr reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
            Worker& self = *call->worker;
            self.isSending = false;
            if (self.stopping) {
                return;
            }
            if (!reply && call->attempt == self.attempt && self.step == Step::running) {
                if (error.matches(G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED)) {
                    // The portal no longer knows the session (it ended on its side).
                    self.sessionHandle.clear();
                    self.fail("portal oturumu tanimiyor: " + error.message());
                    return;
                }
                if (self.sendFailures++ == 0) {
                    self.log("girdi cagrisi basarisiz: " + error.message());
                }
            }
            self.drainOutbox();
        },
        pending());
}

void PortalEventSystem::Worker::sendOneWay(const char* path, const char* interface,
                                           const char* method, GVariant* body) {
    if (bus == nullptr || g_dbus_connection_is_closed(bus)) {
        if (body != nullptr) {
            g_variant_unref(g_variant_ref_sink(body));
        }
        return;
    }
    // One-way and never starting a portal again: for closing what we opened.
    GDBusMessage* message = g_dbus_message_new_method_call(kPortalName, path, interface, method);
    if (body != nullptr) {
        g_dbus_message_set_body(message, body);
    }
    g_dbus_message_set_flags(message,
                             static_cast<GDBusMessageFlags>(G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED |
                                                            G_DBUS_MESSAGE_FLAGS_NO_AUTO_START));
    g_dbus_connection_send_message(bus, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(message);
}

// Screens.

void PortalEventSystem::Worker::fetchScreens() {
    {
        std::lock_guard lock(screensLock);
        if (screensInjected) {
            return;
        }
    }
    if (bus == nullptr) {
        return;
    }
    g_dbus_connection_call(
        bus, kDisplayConfigName, kDisplayConfigPath, kDisplayConfigName, "GetCurrentState", nullptr,
        nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<gint>(options.replyTimeout.count()),
        nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> call(static_cast<Pending*>(data));
            ErrorSlot error;
            VariantPtr reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
            Worker& self = *call->worker;
            if (self.stopping) {
                return;
            }
            if (!reply) {
                self.setScreens({},
                                "yok: " + std::string(kDisplayConfigName) +
                                    " cevap vermedi (kirpma yok): " + error.message(),
                                false);
                return;
            }
            const auto screens = screensFromDisplayConfig(reply.get());
            if (!screens) {
                self.setScreens(
                    {}, "yok: " + std::string(kDisplayConfigName) + " cevabi bozuk (kirpma yok)",
                    false);
                return;
            }
            self.setScreens(*screens, kDisplayConfigName, false);
        },
        pending());
}

void PortalEventSystem::Worker::setScreens(const ScreenList& screens, const std::string& origin,
                                           bool injected) {
    {
        std::lock_guard lock(screensLock);
        if (screensInjected && !injected) {
            return; // the application's own screens win
        }
        screensInjected = screensInjected || injected;
        screenList = screens;
        screenOrigin = origin;
    }
    if (!screens.empty()) {
        // Until something is posted, the pointer is taken to rest in the primary's centre.
        std::lock_guard lock(outboxLock);
        if (!hasPosition) {
            const Rect& primary = screens.frames[0];
            input.setPosition({primary.width / 2, primary.height / 2});
            hasPosition = true;
        }
    }
    log("ekranlar kaynak=" + origin + " " + describeScreens(screens));
}

ScreenList PortalEventSystem::Worker::currentScreens() const {
    std::lock_guard lock(screensLock);
    return screenList;
}

Point PortalEventSystem::Worker::location() {
    const ScreenList screens = currentScreens();
    std::lock_guard lock(outboxLock);
    // The compositor keeps its pointer on a screen too, so the clamped point is where the
    // next step starts from.
    return input.keepOnScreens(screens);
}

// The restore token.

void PortalEventSystem::Worker::loadRestoreToken() {
    if (options.stateFolder.empty()) {
        return;
    }
    auto content = readFile(options.stateFolder / kTokenFile);
    if (!content) {
        return;
    }
    std::string token = *content;
    while (!token.empty() && (token.back() == '\n' || token.back() == ' ')) {
        token.pop_back();
    }
    if (isValidToken(token)) {
        restoreToken = token;
    }
}

void PortalEventSystem::Worker::storeRestoreToken(const std::string& token) {
    if (!isValidToken(token)) {
        log("portal cevabindaki restore_token gecersiz: yok sayildi");
        return;
    }
    restoreToken = token;
    if (options.stateFolder.empty()) {
        return;
    }
    auto folder = createFolders(options.stateFolder, 0700);
    auto written = folder
                       ? writeFileAtomically(options.stateFolder / kTokenFile, token + "\n", 0600)
                       : std::expected<void, PlatformError>(std::unexpected(folder.error()));
    if (written) {
        log("izin bir sonraki acilis icin saklandi");
    } else {
        log("izin saklanamadi: " + written.error().text());
    }
}

void PortalEventSystem::Worker::forgetRestoreToken() {
    restoreToken.clear();
    if (!options.stateFolder.empty()) {
        ::unlink((options.stateFolder / kTokenFile).c_str());
    }
}

// Shutdown, on the portal thread: close the session, let the bus take the last messages,
// then leave the loop (bounded).
void PortalEventSystem::Worker::shutdown() {
    stopping = true;
    cancelDeadline();
    if (bus != nullptr && !g_dbus_connection_is_closed(bus)) {
        unsubscribeResponse();
        closeSession();
        if (monitorsChanged != 0) {
            g_dbus_connection_signal_unsubscribe(bus, monitorsChanged);
            monitorsChanged = 0;
        }
    }
    if (nameWatch != 0) {
        g_bus_unwatch_name(nameWatch);
        nameWatch = 0;
    }
    g_cancellable_cancel(cancellable);
    trusted.store(false, std::memory_order_release);
    GSource* limit = g_timeout_source_new(static_cast<guint>(kShutdownLimit.count()));
    g_source_set_callback(
        limit,
        +[](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop, nullptr);
    g_source_attach(limit, context);
    g_source_unref(limit);
    if (bus == nullptr || g_dbus_connection_is_closed(bus)) {
        g_main_loop_quit(loop);
        return;
    }
    g_dbus_connection_flush(
        bus, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            g_dbus_connection_flush_finish(G_DBUS_CONNECTION(source), result, nullptr);
            g_main_loop_quit(static_cast<Worker*>(data)->loop);
        },
        this);
}

// The public face.

std::expected<PortalInfo, PlatformError>
PortalEventSystem::probe(const std::string& busAddress, std::chrono::milliseconds timeout) {
    ErrorSlot error;
    std::string address = busAddress;
    if (address.empty()) {
        gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, error.out());
        if (found == nullptr) {
            return std::unexpected(PlatformError{"oturum veri yolu: " + error.message(), ENOENT});
        }
        address = found;
        g_free(found);
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, error.out());
    if (connection == nullptr) {
        return std::unexpected(
            PlatformError{"oturum veri yoluna baglanti: " + error.message(), ECONNREFUSED});
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    VariantPtr reply(g_dbus_connection_call_sync(
        connection, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "GetAll",
        g_variant_new("(s)", kRemoteDesktop), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE,
        static_cast<gint>(timeout.count()), nullptr, error.out()));
    g_dbus_connection_close(connection, nullptr, nullptr, nullptr);
    g_object_unref(connection);
    if (!reply) {
        return std::unexpected(PlatformError{"RemoteDesktop portali: " + error.message(), ENOENT});
    }
    VariantPtr properties(g_variant_get_child_value(reply.get(), 0));
    auto version = lookup(properties.get(), "version", G_VARIANT_TYPE_UINT32);
    auto types = lookup(properties.get(), "AvailableDeviceTypes", G_VARIANT_TYPE_UINT32);
    if (!version || !types) {
        return std::unexpected(PlatformError{"RemoteDesktop portali: ozellikler eksik", EPROTO});
    }
    return PortalInfo{g_variant_get_uint32(version.get()), g_variant_get_uint32(types.get())};
}

std::shared_ptr<PortalEventSystem> PortalEventSystem::create(PortalOptions options) {
    return std::shared_ptr<PortalEventSystem>(new PortalEventSystem(std::move(options)));
}

PortalEventSystem::PortalEventSystem(PortalOptions options)
    : worker(std::make_unique<Worker>(std::move(options))) {}

PortalEventSystem::~PortalEventSystem() = default;

std::optional<EventSource> PortalEventSystem::createEventSource() {
    return EventSource{1};
}

std::optional<Point> PortalEventSystem::pointerLocation() {
    return worker->location();
}

ScreenList PortalEventSystem::screens() {
    return worker->currentScreens();
}

std::optional<InputEvent> PortalEventSystem::mouseEvent(std::optional<EventSource> source,
                                                        MouseEventType type, Point location,
                                                        MouseButton button) {
    return InputEvent::mouse(source, type, location, button);
}

std::optional<InputEvent> PortalEventSystem::keyboardEvent(std::optional<EventSource> source,
                                                           std::uint16_t keyCode, bool keyDown) {
    return InputEvent::keyboard(source, keyCode, keyDown);
}

std::optional<InputEvent> PortalEventSystem::scrollWheelEvent(std::optional<EventSource> source,
                                                              std::int32_t vertical,
                                                              std::int32_t horizontal) {
    return InputEvent::scrollWheel(source, vertical, horizontal);
}

void PortalEventSystem::post(const InputEvent& event) {
    worker->post(event);
}

double PortalEventSystem::doubleClickInterval() {
    return worker->options.doubleClickInterval;
}

bool PortalEventSystem::isTrusted() {
    return worker->trusted.load(std::memory_order_acquire);
}

std::optional<std::string> PortalEventSystem::untrustedReason() {
    std::lock_guard lock(worker->statusLock);
    if (worker->status.isTrusted) {
        return std::nullopt;
    }
    return worker->status.reason;
}

void PortalEventSystem::requestPermission() {
    worker->invoke([](Worker& self) { self.begin(); });
}

PortalEventSystem::Status PortalEventSystem::status() const {
    std::lock_guard lock(worker->statusLock);
    return worker->status;
}

void PortalEventSystem::setScreens(const ScreenList& screens, const std::string& origin) {
    worker->setScreens(screens, origin, true);
}

std::string PortalEventSystem::screenOrigin() const {
    std::lock_guard lock(worker->screensLock);
    return worker->screenOrigin;
}

std::uint64_t PortalEventSystem::droppedEvents() const noexcept {
    return worker->dropped.load(std::memory_order_relaxed);
}

} // namespace ravnix
