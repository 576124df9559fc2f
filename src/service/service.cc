#include "service/service.h"

#include <cstdio>
#include <utility>

#include "base/logging.h"
#include "base/time_utils.h"
#include "packet/packet_admission.h"
#include "packet/packet_metrics.h"
#include "packet/receive_load.h"
#include "service/config_keys.h"
#include "service/service_address.h"
#include "service/service_metrics.h"

namespace corvaneserver {
namespace {

uint32_t ReadWorkerNumbers(const Configure& configure, const std::string& key) {
  return configure.ReadBounded(key, kDefaultWorkerNumbers, kMaxWorkerNumbers);
}

}  // namespace

std::atomic<rtc::Thread*> Service::service_thread_{nullptr};

std::string BuildTime() { return std::string(__DATE__) + " " + __TIME__; }

Service::Service() = default;

Service::~Service() {
  RemoveMetrics();
  metrics_exporter_.reset();
  // Threads first: receivers feed the deliver pool, which calls into the server.
  Shutdown();
  handlers_.clear();
  packet_deliver_.reset();
  packet_receiver_.reset();
  gateway_connector_.reset();
  if (logger_) rtc::LogMessage::RemoveLogToStream(logger_.get());
  logger_.reset();
  configure_.reset();
}

bool Service::Init(const std::string& path, const std::string& name) {
  configure_ = Configure::Create(path, "=", "#");
  if (!configure_) {
    fprintf(stderr, "configure file %s is not exist\n", path.c_str());
    return false;
  }
  std::string log_file_path;
  if (!configure_->Read(log_file_path, "log_file_path")) {
    fprintf(stderr, "configure file have not set log file path\n");
    return false;
  }
  logger_ = std::make_unique<Logger>(log_file_path, name);
  rtc::LogMessage::AddLogToStream(logger_.get(), rtc::LS_INFO);
  RTC_LOG(LS_INFO) << "release time is " << BuildTime();

  std::string gateway_address;
  if (!configure_->Read(gateway_address, "gateway_address")) {
    fprintf(stderr, "gateway address is not exist in configure file\n");
    return false;
  }

  gateway_connector_ = std::make_unique<GatewayConnector>(gateway_address, this);

  statistics_interval_ =
      configure_->ReadBounded("packet_statistics_interval_seconds",
                              kDefaultStatisticsIntervalSeconds, kMaxStatisticsIntervalSeconds);
  if (!StartupPacketProcessor()) return false;
  if (!StartMetrics(name)) return false;

  StartTimer(kTimerHeartbeat);
  StartTimer(kTimerInactive);
  StartTimer(kTimerRedeliver);
  FillHandlers();
  return true;
}

void Service::Run() { rtc::Thread::Current()->Run(); }

void Service::BindServiceThread(rtc::Thread* thread) { service_thread_.store(thread); }

void Service::Destroy() {
  rtc::Thread* thread = service_thread_.load();
  if (thread != nullptr) thread->Quit();
}

void Service::Exit() {
  RTC_LOG(LS_WARNING) << "+++ begin to exit corvane_rec_server +++";
  Shutdown();
}

void Service::Shutdown() {
  if (packet_receiver_) packet_receiver_->Shutdown();
  if (packet_deliver_) packet_deliver_->Shutdown();
}

void Service::StartTimer(uint32_t id) {
  if (id < kTimerBase || id - kTimerBase >= std::size(kTimerIntervalMs)) return;
  const int interval_ms = kTimerIntervalMs[id - kTimerBase];
  if (interval_ms == 0) return;
  rtc::Thread::Current()->PostDelayed(interval_ms, this, id);
}

void Service::OnMessage(rtc::Message* msg) {
  const uint32_t id = msg->message_id;
  if (!OnTimer(id)) {
    RTC_LOG_LIMITED(LS_ERROR, invalid_timer_log_) << "timer id [" << id << "] is invalid";
  }
  StartTimer(id);
}

bool Service::StartupPacketProcessor() {
  max_delay_ms_ =
      configure_->ReadBounded("packet_max_delay_ms", kDefaultMaxDelayMs, kMaxMaxDelayMs);
  if (max_delay_ms_ == 0) {
    RTC_LOG(LS_WARNING) << "packet max delay is 0, datagrams are handled however late";
  }
  std::string mode = "inline";
  configure_->Read(mode, "packet_deliver_mode");
  if (mode != "inline" && mode != "pool") {
    RTC_LOG(LS_WARNING) << "configure [packet_deliver_mode] is \"" << mode
                        << "\", not inline or pool; using inline";
    mode = "inline";
  }
  RTC_LOG(LS_INFO) << "packet deliver mode is " << mode << ", max delay " << max_delay_ms_ << " ms";
  if (mode == "pool") {
    const uint32_t dispatchers = ReadWorkerNumbers(*configure_, "dispatcher_worker_numbers");
    packet_deliver_ = std::make_unique<PacketDeliver>(
        dispatchers, statistics_interval_ * 1000,
        [this](std::shared_ptr<UDPPacket> packet) { return OnPacketReceived(std::move(packet)); },
        max_delay_ms_);
  } else {
    PacketAdmission::LogSettings(statistics_interval_ * 1000);
  }

  const uint32_t receivers = ReadWorkerNumbers(*configure_, "receiver_worker_numbers");
  const uint32_t buffer_bytes = configure_->ReadBounded(
      "packet_socket_buffer_bytes", kDefaultSocketBufferBytes, kMaxSocketBufferBytes);
  const uint32_t spread_percent = configure_->ReadBounded(
      "receiver_spread_busy_percent", ReceiveLoad::kDefaultSpreadPercent, kMaxPercent);
  packet_receiver_ = std::make_unique<PacketReceiver>(receivers, buffer_bytes, spread_percent);

  for (const char* key : {"packet_listen_bgp_eth", "packet_listen_tel_eth"}) {
    const rtc::SocketAddress address = GetServiceAddress(key, "packet_listen_port");
    if (!address.IsComplete()) continue;
    if (packet_receiver_->Listen(address, ReceiveCallback(), true) != 0) {
      RTC_LOG(LS_ERROR) << "packet listen in address " << address.ToString() << " failed";
      return false;
    }
  }
  if (!packet_deliver_) packet_receiver_->ExportBacklog();
  return true;
}

bool Service::StartRecordListen() {
  if (!packet_receiver_) {
    RTC_LOG(LS_ERROR) << "startup receiver and deliver first";
    return false;
  }
  const rtc::SocketAddress address =
      GetServiceAddress("packet_listen_rec_eth", "packet_listen_port");
  if (!address.IsComplete()) return true;
  if (packet_receiver_->Listen(address, ReceiveCallback(), false) != 0) {
    RTC_LOG(LS_ERROR) << "packet listen in address " << address.ToString() << " failed";
    return false;
  }
  if (!packet_deliver_) packet_receiver_->ExportBacklog();
  return true;
}

PacketCallbackFactory Service::ReceiveCallback() {
  if (packet_deliver_) {
    // Every datagram goes to the deliver pool, never straight to the server.
    PacketDeliver* deliver = packet_deliver_.get();
    return [deliver] {
      return PacketCallback([deliver](std::shared_ptr<UDPPacket> packet) {
        return deliver->OnPacketDelivered(std::move(packet));
      });
    };
  }
  // Inline: each receive thread admits and hands on what it reads. The known
  // sources are one table for all of them: a source that announced itself on
  // one listened address may send to another, read by other threads.
  if (!shared_sources_) {
    shared_sources_ = std::make_shared<SharedSourceTable>(statistics_interval_ * 1000);
  }
  const std::shared_ptr<SharedSourceTable> sources = shared_sources_;
  const int64_t max_delay_ms = max_delay_ms_;
  return [this, sources, max_delay_ms] {
    auto admission = std::make_shared<PacketAdmission>(
        sources, max_delay_ms,
        [this](std::shared_ptr<UDPPacket> packet) { return OnPacketReceived(std::move(packet)); });
    return PacketCallback([admission](std::shared_ptr<UDPPacket> packet) {
      return admission->Handle(std::move(packet));
    });
  };
}

std::string Service::GetServiceIp(const std::string& interface_key) const {
  std::string value;
  configure_->Read(value, interface_key);
  return corvaneserver::GetServiceIp(value, interface_key);
}

rtc::SocketAddress Service::GetServiceAddress(const std::string& interface_key,
                                              const std::string& port_key) const {
  std::string value;
  configure_->Read(value, interface_key);
  uint32_t port = 0;
  configure_->Read(port, port_key);
  return corvaneserver::GetServiceAddress(value, port, interface_key);
}

void Service::Statistics() {
  const int64_t now = rtc::TimeMillis();
  if (now >= last_statistics_time_ + kStatisticsIntervalMs) {
    OuputStatistics();
    last_statistics_time_ = now;
  }
}

int Service::GetSocket() { return packet_receiver_ ? packet_receiver_->GetSocket() : -1; }

void Service::SendHeartbeat() {
  if (gateway_connector_) gateway_connector_->TimerProcess();
}

void Service::AddMetricGauge(std::string name, std::string help, rtc::MetricLabels labels,
                             std::function<double()> read) {
  metric_ids_.push_back(rtc::MetricRegistry::Global().AddGauge(std::move(name), std::move(help),
                                                               std::move(labels), std::move(read)));
}

void Service::RemoveMetrics() {
  for (int id : metric_ids_) rtc::MetricRegistry::Global().Remove(id);
  metric_ids_.clear();
}

bool Service::StartMetrics(const std::string& name) {
  // The counters exist from the first datagram on; touching them here puts
  // every one of them on the first scrape, at zero.
  PacketMetrics::Get();
  ServiceMetrics::Get();
  AddMetricGauge("corvane_build_info", "The running build; always 1.",
                 {{"program", name}, {"version", CORVANE_VERSION}, {"build_time", BuildTime()}},
                 [] { return 1.0; });
  GatewayConnector* const gateway = gateway_connector_.get();
  AddMetricGauge("corvane_gateway_links_up", "Gateway links connected now.", {},
                 [gateway] { return static_cast<double>(gateway->connected_count()); });
  metric_ids_.push_back(rtc::MetricRegistry::Global().AddCounter(
      "corvane_gateway_reconnects_total", "Connection attempts for gateway links that went down.",
      {}, &gateway->reconnects()));
  metric_ids_.push_back(rtc::MetricRegistry::Global().AddCounter(
      "corvane_log_stderr_dropped_total",
      "Log lines not copied to standard error because it was closed or did not keep up.", {},
      &rtc::LogMessage::StderrDroppedLines()));

  std::string address;
  if (!configure_->Read(address, "metrics_listen_address") || address.empty()) return true;
  metrics_exporter_ = MetricsExporter::Start(address);
  return metrics_exporter_ != nullptr;
}

}  // namespace corvaneserver
