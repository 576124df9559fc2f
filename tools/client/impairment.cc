#include "client/impairment.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "client/roster.h"

namespace corvanetools {

namespace {

uint64_t SplitMix(uint64_t* state) {
  uint64_t x = (*state += 0x9E3779B97F4A7C15ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

bool ParsePercent(const std::string& text, double* value) {
  return ParseDouble(text, value) && *value >= 0 && *value <= 100;
}

bool ParseMs(const std::string& text, int* value) {
  int64_t parsed = 0;
  if (!ParseI64(text, &parsed) || parsed < 0 || parsed > 600000) return false;
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

bool NetworkConditions::Any() const {
  return loss_percent > 0 || burst_loss_percent > 0 || delay_ms > 0 || jitter_ms > 0 ||
         duplicate_percent > 0 || (stall_every_ms > 0 && stall_ms > 0);
}

std::string NetworkConditions::ToString() const {
  std::string text;
  auto add = [&text](const std::string& item) { text += (text.empty() ? "" : ",") + item; };
  auto number = [](double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%g", value);
    return std::string(buffer);
  };
  if (loss_percent > 0) add("loss=" + number(loss_percent));
  if (burst_loss_percent > 0) {
    add("burst=" + number(burst_loss_percent) + ":" + number(burst_length));
  }
  if (delay_ms > 0) add("delay=" + std::to_string(delay_ms));
  if (jitter_ms > 0) add("jitter=" + std::to_string(jitter_ms));
  if (reorder) add("reorder");
  if (duplicate_percent > 0) add("dup=" + number(duplicate_percent));
  if (stall_every_ms > 0 && stall_ms > 0) {
    add("stall=" + std::to_string(stall_ms) + "/" + std::to_string(stall_every_ms));
  }
  return text.empty() ? "none" : text;
}

bool ParseNetworkConditions(const std::string& text, NetworkConditions* conditions,
                            std::string* error) {
  *conditions = NetworkConditions();
  if (text.empty() || text == "none") return true;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = text.find(',', pos);
    const std::string item =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    bool ok = true;
    if (key == "reorder" && eq == std::string::npos) {
      conditions->reorder = true;
    } else if (key == "loss") {
      ok = ParsePercent(value, &conditions->loss_percent);
    } else if (key == "burst") {
      const size_t colon = value.find(':');
      ok = colon != std::string::npos &&
           ParsePercent(value.substr(0, colon), &conditions->burst_loss_percent) &&
           conditions->burst_loss_percent < 100 &&
           ParseDouble(value.substr(colon + 1), &conditions->burst_length) &&
           conditions->burst_length >= 1 && conditions->burst_length <= 1000;
    } else if (key == "delay") {
      ok = ParseMs(value, &conditions->delay_ms);
    } else if (key == "jitter") {
      ok = ParseMs(value, &conditions->jitter_ms);
    } else if (key == "dup") {
      ok = ParsePercent(value, &conditions->duplicate_percent);
    } else if (key == "stall") {
      const size_t slash = value.find('/');
      ok = slash != std::string::npos && ParseMs(value.substr(0, slash), &conditions->stall_ms) &&
           ParseMs(value.substr(slash + 1), &conditions->stall_every_ms) &&
           conditions->stall_ms < conditions->stall_every_ms;
    } else {
      ok = false;
    }
    if (!ok) {
      *error = "bad impairment '" + item +
               "' (loss=PERCENT, burst=PERCENT:LENGTH, delay=MS, jitter=MS, reorder, "
               "dup=PERCENT, stall=MS/EVERY_MS)";
      return false;
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

bool FindImpairmentPreset(const std::string& name, ImpairmentPreset* preset) {
  *preset = ImpairmentPreset();
  if (name == "wifi") {
    // 1% random loss and 10 ms of jitter, both ways.
    preset->uplink.loss_percent = 1;
    preset->uplink.jitter_ms = 10;
    preset->downlink = preset->uplink;
    return true;
  }
  if (name == "cellular") {
    // 3% loss in bursts of 3 on average, 40 ms of jitter with reordering, both ways.
    preset->uplink.burst_loss_percent = 3;
    preset->uplink.burst_length = 3;
    preset->uplink.jitter_ms = 40;
    preset->uplink.reorder = true;
    preset->downlink = preset->uplink;
    return true;
  }
  if (name == "stall") {
    // The talkers' uplink stops for 500 ms every 10 s; what it held comes at once.
    preset->uplink.stall_ms = 500;
    preset->uplink.stall_every_ms = 10000;
    return true;
  }
  if (name == "restart") {
    // Numbers that have run for a while go back to 1 half way through, and 2%
    // of the uplink is lost, so that recovery has something to do after it.
    preset->restart = true;
    preset->first_sequence = 1000000;
    preset->uplink.loss_percent = 2;
    return true;
  }
  return false;
}

const char* ImpairmentPresetNames() { return "wifi, cellular, stall, restart"; }

Impairment::Impairment(const NetworkConditions& conditions, uint64_t seed, int64_t start_us)
    : conditions_(conditions), start_us_(start_us), state_(seed) {
  if (conditions_.burst_loss_percent > 0) {
    // Two states, every datagram lost in the bad one: a burst lasts 1/q
    // datagrams on average, and the long-run loss p / (p + q) is the rate asked.
    const double loss = conditions_.burst_loss_percent / 100;
    bad_to_good_ = 1 / std::max(1.0, conditions_.burst_length);
    good_to_bad_ = bad_to_good_ * loss / (1 - loss);
  }
}

uint64_t Impairment::NextRandom() { return SplitMix(&state_); }

double Impairment::Uniform() { return static_cast<double>(NextRandom() >> 11) * 0x1.0p-53; }

bool Impairment::LoseOne() {
  bool lost = false;
  if (conditions_.burst_loss_percent > 0) {
    bad_ = bad_ ? Uniform() >= bad_to_good_ : Uniform() < good_to_bad_;
    lost = bad_;
  }
  if (conditions_.loss_percent > 0 && Uniform() * 100 < conditions_.loss_percent) lost = true;
  return lost;
}

int64_t Impairment::ReleaseTime(int64_t now_us) {
  int64_t release = now_us + int64_t{conditions_.delay_ms} * 1000;
  if (conditions_.jitter_ms > 0) {
    release += static_cast<int64_t>(Uniform() * (int64_t{conditions_.jitter_ms} * 1000 + 1));
  }
  if (conditions_.stall_every_ms > 0 && conditions_.stall_ms > 0) {
    // Stalls begin half a period after the start and then every period, so
    // that a short run sees one too.
    const int64_t every = int64_t{conditions_.stall_every_ms} * 1000;
    const int64_t first = start_us_ + every / 2;
    if (now_us >= first) {
      const int64_t window = first + (now_us - first) / every * every;
      const int64_t end = window + int64_t{conditions_.stall_ms} * 1000;
      if (now_us < end) release = std::max(release, end);
    }
  }
  if (!conditions_.reorder) release = std::max(release, last_release_us_);
  last_release_us_ = std::max(last_release_us_, release);
  return release;
}

Impairment::Verdict Impairment::Decide(int64_t now_us) {
  Verdict verdict;
  if (LoseOne()) {
    ++lost_;
    verdict.copies = 0;
    return verdict;
  }
  verdict.release_us[0] = ReleaseTime(now_us);
  if (conditions_.duplicate_percent > 0 && Uniform() * 100 < conditions_.duplicate_percent) {
    ++duplicated_;
    verdict.copies = 2;
    verdict.release_us[1] = ReleaseTime(now_us);
  }
  for (int i = 0; i < verdict.copies; ++i) held_ += verdict.release_us[i] > now_us ? 1 : 0;
  return verdict;
}

void DelayLine::Hold(int64_t release_us, uint32_t owner, const sockaddr_in& to, const uint8_t* data,
                     size_t size) {
  Held held;
  held.release_us = release_us;
  held.order = next_order_++;
  held.owner = owner;
  held.to = to;
  held.bytes.assign(data, data + size);
  queue_.push(std::move(held));
}

bool DelayLine::PopDue(int64_t now_us, Held* out) {
  if (queue_.empty() || queue_.top().release_us > now_us) return false;
  *out = queue_.top();
  queue_.pop();
  return true;
}

}  // namespace corvanetools
