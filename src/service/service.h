// The framework both servers share: configuration, logging, the gateway link,
// the UDP receivers and deliver pool, the periodic timers and the dispatch of
// control messages to the server's room operations.
#ifndef SERVICE_SERVICE_H_
#define SERVICE_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/async_packet_socket.h"
#include "base/log_rate_limiter.h"
#include "base/metrics.h"
#include "base/socket_address.h"
#include "base/thread.h"
#include "control/gateway_connector.h"
#include "control/gateway_message_handler.h"
#include "control/user_type.h"
#include "packet/packet_deliver.h"
#include "packet/packet_receiver.h"
#include "packet/shared_source_table.h"
#include "service/config_keys.h"
#include "service/configure.h"
#include "service/logger.h"
#include "service/metrics_exporter.h"

namespace corvaneserver {

// Periodic timers, posted as delayed messages to the service thread.
constexpr uint32_t kTimerBase = 0x10000;
constexpr uint32_t kTimerHeartbeat = 0x10001;  // gateway heartbeat and reconnect
constexpr uint32_t kTimerRedeliver = 0x10002;  // forwarding server: resend, receiver reports
constexpr uint32_t kTimerInactive = 0x10003;   // statistics and inactivity sweep
// Interval of each timer id, indexed by id - kTimerBase; 0 means never armed.
constexpr int kTimerIntervalMs[] = {0, 10000, 100, 30000, 0};

// Minimum time between two OuputStatistics calls made by Statistics().
constexpr int64_t kStatisticsIntervalMs = 300000;
// An invalid timer id is logged once, then at most once per this period.
constexpr int64_t kInvalidTimerLogIntervalMs = 3600000;

// Everything here runs on the service thread (the process's main thread)
// unless a method says otherwise.
class Service : public GatewayMessageHandler, public rtc::MessageHandler {
 public:
  using Handler = void (Service::*)(rtc::AsyncPacketSocket* socket, const uint8_t* data,
                                    size_t length, const rtc::SocketAddress& remote);

  Service();
  ~Service() override;

  // Dispatches one control message from the gateway by its message id.
  void HandleMessage(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                     const rtc::SocketAddress& remote) override;
  // Registers with the gateway on a connection that has just come up.
  void SendRegisterMessage(rtc::AsyncPacketSocket* socket) override;

  // Room operations, called from the control-message handlers. 0 on success, -1 on failure.
  virtual int JoinRoom(uint64_t room_id, uint64_t user_id, uint32_t user_type,
                       std::string token) = 0;
  virtual int QuitRoom(uint64_t room_id, uint64_t user_id) = 0;
  virtual int AllowSpeaker(uint64_t room_id, uint64_t user_id, bool allow) = 0;
  virtual int MuteSpeaker(uint64_t room_id, uint64_t user_id, bool unmuted) = 0;
  virtual int RemoveRoom(uint64_t room_id) = 0;
  virtual int AddCascade(uint64_t room_id, uint64_t user_id, std::string address) = 0;
  // Called on the threads that handle datagrams (the receive threads, or the
  // deliver workers in pool mode), concurrently with each other and with the
  // service thread.
  virtual int OnPacketReceived(std::shared_ptr<UDPPacket> packet) = 0;
  virtual int GetServerType() = 0;
  virtual int AddRecorder(uint64_t room_id, uint64_t user_id, uint64_t unique_id,
                          std::string token) = 0;
  virtual void OuputStatistics() = 0;
  // Runs the work of periodic timer `id` on the service thread; false when this
  // server has no work for that id.
  virtual bool OnTimer(uint32_t id) = 0;

  // A timer message: OnTimer, an error line for an id it does not take (the
  // first, then at most one an hour: the mixing server declines a tick ten
  // times a second), and the timer is armed again in every case.
  void OnMessage(rtc::Message* msg) final;

  // Builds the shared machinery in a fixed order; false leaves what was built
  // to the destructor.
  bool Init(const std::string& path, const std::string& name);
  // Runs the service thread's loop until Destroy().
  void Run();
  // Makes Run() return. Safe from any thread and from a signal handler.
  static void Destroy();
  // Records the loop that Destroy() stops; main binds it before installing
  // the signal handlers.
  static void BindServiceThread(rtc::Thread* thread);
  // Logs the exit banner and stops receivers, then deliver workers.
  void Exit();
  void Shutdown();

  void StartTimer(uint32_t id);
  bool StartupPacketProcessor();
  bool StartRecordListen();
  // The framework's metrics, and the exporter when metrics_listen_address is
  // set; false when that address cannot be listened on.
  bool StartMetrics(const std::string& name);
  // Calls OuputStatistics() at most once per kStatisticsIntervalMs.
  void Statistics();
  // A socket of the rec interface, taken in turn; -1 when there is none.
  int GetSocket();
  void SendHeartbeat();

  // The address text of a configured interface key ("" when absent or unresolved).
  std::string GetServiceIp(const std::string& interface_key) const;
  // interface ip:port from two configuration keys; nil when either is missing.
  rtc::SocketAddress GetServiceAddress(const std::string& interface_key,
                                       const std::string& port_key) const;

  const Configure* configure() const { return configure_.get(); }
  uint32_t statistics_interval() const { return statistics_interval_; }
  PacketReceiver* packet_receiver() const { return packet_receiver_.get(); }
  // Null unless packet_deliver_mode is pool.
  PacketDeliver* packet_deliver() const { return packet_deliver_.get(); }
  GatewayConnector* gateway_connector() const { return gateway_connector_.get(); }
  // Null unless metrics_listen_address is configured.
  const MetricsExporter* metrics_exporter() const { return metrics_exporter_.get(); }

  // A gauge read at each scrape (on the exporter's thread), kept until
  // RemoveMetrics(). What it reads must stay valid until then.
  void AddMetricGauge(std::string name, std::string help, rtc::MetricLabels labels,
                      std::function<double()> read);
  // Takes this server's gauges out of the registry; when it returns no scrape
  // reads them any more. Each server calls it first in its destructor, with no
  // lock of its own held. Idempotent.
  void RemoveMetrics();

 protected:
  // Creates the process-wide instance of Server in `inst` and runs its
  // Init(path); returns an existing instance unchanged, null when Init fails.
  template <class Server>
  static Server* CreateInstance(Server*& inst, const std::string& path) {
    if (inst != nullptr) return inst;
    inst = new Server();
    if (!inst->Init(path)) {
      delete inst;
      inst = nullptr;
    }
    return inst;
  }

  // Control message handlers. HandleRequest<Body> serves every request: it
  // decodes the body, logs it, calls the room operation and answers the gateway
  // with the request's session id and the operation's result.
  template <class Body>
  void HandleRequest(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                     const rtc::SocketAddress& remote);
  void HandleRegisterResponse(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                              const rtc::SocketAddress& remote);
  void HandleHeartbeatMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                          const rtc::SocketAddress& remote);
  void SendResponse(rtc::AsyncPacketSocket* socket, uint32_t session_id, int result);
  void FillHandlers();
  // The receivers' callbacks: each hands a datagram to the deliver pool, or
  // (inline) admits it and calls OnPacketReceived on the receive thread.
  PacketCallbackFactory ReceiveCallback();

  static std::atomic<rtc::Thread*> service_thread_;

  uint32_t statistics_interval_ = kDefaultStatisticsIntervalSeconds;
  uint32_t max_delay_ms_ = 0;
  std::unique_ptr<Configure> configure_;
  std::unique_ptr<Logger> logger_;
  std::unique_ptr<GatewayConnector> gateway_connector_;
  std::unique_ptr<PacketReceiver> packet_receiver_;
  std::unique_ptr<PacketDeliver> packet_deliver_;
  // Inline mode: the known sources of every receive thread (their admissions
  // share it, and the last of them to go frees it).
  std::shared_ptr<SharedSourceTable> shared_sources_;
  int64_t last_statistics_time_ = 0;
  std::map<uint32_t, Handler> handlers_;
  std::vector<int> metric_ids_;
  std::unique_ptr<MetricsExporter> metrics_exporter_;
  rtc::LogRateLimiter invalid_timer_log_{kInvalidTimerLogIntervalMs};
};

// The build date and time, "Feb 12 2020 15:39:26".
std::string BuildTime();

}  // namespace corvaneserver

#endif  // SERVICE_SERVICE_H_
