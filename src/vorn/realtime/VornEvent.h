#pragma once

#include "vorn/core/VornError.h"
#include "vorn/realtime/SocketIO.h"

#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace vorn {

class VornEvent;

/// What a subscription watches.
enum VornActionType : std::int64_t {
    VornActionTypeUpdateTable = 0,  ///< "updateTable": any object of the table created or changed
    VornActionTypeUpdateRow = 1,    ///< "updateRow": one object changed
    VornActionTypeDeleteTable = 2,  ///< "deleteTable": any object of the table deleted
    VornActionTypeDeleteRow = 3,    ///< "deleteRow": one object deleted
};

/// The listener of a `VornEvent`. Every operation is optional and is called
/// on the main loop.
class VornEventDelegate {
public:
    virtual ~VornEventDelegate() = default;
    /// The channel is connected.
    virtual void vornEventDidConnect(const std::shared_ptr<VornEvent>& event);
    /// The server is ready: subscriptions may be sent now.
    virtual void vornEventCanStartListen(const std::shared_ptr<VornEvent>& event);
    /// A change notice: the notice's first argument as the server sent it
    /// (a JSON text from the emulator), null when it had none.
    virtual void vornEvent(const std::shared_ptr<VornEvent>& event, const nlohmann::json& message);
    /// The channel reports an error (codes of `kSocketIOErrorDomain`).
    virtual void vornEvent(const std::shared_ptr<VornEvent>& event, const VornError& error);
    /// The channel ended, with its error or none.
    virtual void vornEventDidDisConnect(const std::shared_ptr<VornEvent>& event, const OptionalError& error);
    /// With reconnection on: attempt `attempt` (1, 2, ...) ended, connected
    /// when `outcome` is empty; `nextDelay` is the wait before the next
    /// attempt in seconds (0 when none follows).
    virtual void vornEventReconnectAttempt(const std::shared_ptr<VornEvent>& event, int attempt,
                                           const OptionalError& outcome, double nextDelay);
    /// The application ended the channel: `stop` (after the disconnect
    /// report, if the session was running), or, while a reconnection was
    /// waiting, a disconnect of the session itself (when the attempt was
    /// due). Nothing is reported and no attempt is made after it until the
    /// next `start`.
    virtual void vornEventDidStop(const std::shared_ptr<VornEvent>& event);
};

/// Reconnection after the channel ended with an error, or after a first
/// `start` whose handshake failed (never after `stop` or a disconnect the
/// application asked for). Off by default.
struct VornEventReconnection {
    /// Whether the channel reconnects.
    bool enabled = false;
    double initialDelay = 1.0;  ///< seconds before the first attempt
    double maxDelay = 30.0;     ///< the delay grows up to this
    double multiplier = 2.0;    ///< growth per attempt
    double jitter = 0.2;        ///< each delay varies by up to this fraction either way
    int maxAttempts = 0;        ///< attempts in a row at most; 0: no limit
};

/// Data-change subscriptions: one realtime session to the service's
/// realtime host, on which the application subscribes to changes of whole
/// tables or single rows and receives the server's notices.
///
/// Use it from the main loop (`stop` may be called from any thread). There
/// is no reconnection and no memory of subscriptions: after a disconnect,
/// `start` again and subscribe again. A subscription is sent at once when
/// connected, waits while connecting, and is dropped when idle.
class VornEvent final : public SocketIODelegate, public std::enable_shared_from_this<VornEvent> {
    struct PrivateTag {};

public:
    /// The shared instance, created once.
    static std::shared_ptr<VornEvent> defaultVornEvent();
    /// A new, independent instance.
    static std::shared_ptr<VornEvent> init();
    /// Made only by the factories.
    explicit VornEvent(PrivateTag);

    /// The listener; empty when none is set or it is gone.
    std::shared_ptr<VornEventDelegate> delegate() const { return delegate_.lock(); }
    /// Sets the listener (held weakly).
    void setDelegate(std::weak_ptr<VornEventDelegate> delegate) { delegate_ = std::move(delegate); }
    /// The realtime session underneath.
    const std::shared_ptr<SocketIO>& vornSocketIO() const { return vornSocketIO_; }

    /// Connects to the realtime host (port 3010 unless the configured host
    /// names one) unless connected or connecting.
    void start();
    /// Tells the server to end the session (a blocking request on the
    /// calling thread), then ends it.
    void stop();
    /// Whether the session is connected.
    bool isConnected() const;

    /// Subscribes to a table: `VornActionTypeUpdateTable` or
    /// `VornActionTypeDeleteTable`, and a table name; anything else sends
    /// nothing.
    void listenTableChange(VornActionType actionType, const std::string& tableName);
    /// Subscribes to a row: `VornActionTypeUpdateRow` or
    /// `VornActionTypeDeleteRow`, a table name and an object id.
    void listenRowChange(VornActionType actionType, const std::string& tableName, const std::string& objectId);
    /// Cancels a table subscription ("client_unsub"), with the same checks as `listenTableChange`.
    void cancleListenTableChange(VornActionType actionType, const std::string& tableName);
    /// Cancels a row subscription ("client_unsub"), with the same checks as `listenRowChange`.
    void cancleListenRowChange(VornActionType actionType, const std::string& tableName, const std::string& objectId);

    /// The message text of a subscription or a cancellation (pretty-printed
    /// JSON of "appKey", "tableName", "objectId", "action"); none for an
    /// action type outside 0 to 3, or while no application key is registered.
    static std::optional<std::string> eventDicWithType(std::int64_t actionType, const std::string& tableName,
                                                       const std::string& objectId);
    /// The same, for a cancellation.
    static std::optional<std::string> unSubEventDicWithType(std::int64_t actionType, const std::string& tableName,
                                                            const std::string& objectId);

    /// Turns reconnection on or off. While on, the subscriptions made through
    /// this object (less those cancelled) are remembered and sent again
    /// when a new session's server is ready, before
    /// `vornEventCanStartListen`.
    void setReconnection(VornEventReconnection reconnection);
    /// The reconnection settings.
    const VornEventReconnection& reconnection() const { return reconnection_; }
    /// The wait before attempt `attempt` (1, 2, ...), with `random01` a
    /// number in [0, 1) that picks the jitter.
    static double reconnectDelay(int attempt, const VornEventReconnection& reconnection, double random01);
    /// Whether a reconnection attempt is running or waiting.
    bool isReconnecting() const { return attempt_ != 0; }
    /// How many subscriptions are remembered for reconnection.
    std::size_t rememberedSubscriptionCount() const { return remembered_.size(); }

    /// The realtime host and port `start` connects to, from the device's
    /// configuration: "host" means port 3010, "host:port" that port.
    /// A scheme in front of the host is not part of it: "https://host" (or
    /// "wss://host") connects over TLS (`realtimeIsSecure`).
    static std::pair<std::string, std::int64_t> realtimeAddress();
    /// Whether the configured realtime host asks for TLS.
    static bool realtimeIsSecure();

    // The session's reports.
    void socketIODidConnect(const std::shared_ptr<SocketIO>& socket) override;
    void socketIODidDisconnect(const std::shared_ptr<SocketIO>& socket, const OptionalError& error) override;
    void socketIODidReceiveEvent(const std::shared_ptr<SocketIO>& socket, const SocketIOPacket& packet) override;
    void socketIO(const std::shared_ptr<SocketIO>& socket, const VornError& error) override;

private:
    struct Subscription {
        std::int64_t type;
        std::string tableName;
        std::string objectId;
        auto operator<=>(const Subscription&) const = default;
    };
    void sendSubscription(const char* eventName, const std::optional<std::string>& message);
    void remember(bool subscribe, std::int64_t type, const std::string& tableName, const std::string& objectId);
    void attemptEnded(const OptionalError& outcome);
    void scheduleReconnect();
    void cancelReconnect();
    void stopped();
    template <typename Call>
    void tellDelegate(Call&& call);

    std::weak_ptr<VornEventDelegate> delegate_;
    std::shared_ptr<SocketIO> vornSocketIO_;
    VornEventReconnection reconnection_;
    std::set<Subscription> remembered_;
    bool stopped_ = false;
    bool resubscribe_ = false;
    int attempt_ = 0;  // the attempt running or waiting, 0 when none
    // The session's count of disconnects asked for when the wait began.
    std::uint64_t disconnectRequestsAtSchedule_ = 0;
    std::unique_ptr<boost::asio::steady_timer> reconnectTimer_;
};

}  // namespace vorn
