// SPDX-License-Identifier: MIT
#include "log_capture.h"

#include <cstring>

LogCapture::LogCapture() {
  previous_ = g_log_set_default_handler(&LogCapture::handler, this);
  previous_data_ = nullptr;
}

LogCapture::~LogCapture() { g_log_set_default_handler(previous_, previous_data_); }

void LogCapture::handler(const gchar*, GLogLevelFlags level, const gchar* message,
                         gpointer self) {
  auto* capture = static_cast<LogCapture*>(self);
  int bits;
  std::memcpy(&bits, &level, sizeof bits); /* no enum load: 256 is out of its range */
  std::lock_guard<std::mutex> lock(capture->mutex_);
  capture->messages_.push_back({bits & G_LOG_LEVEL_MASK, message ? message : ""});
}

std::vector<LoggedMessage> LogCapture::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> LogCapture::texts() const {
  std::vector<std::string> out;
  for (const auto& m : messages()) out.push_back(m.text);
  return out;
}

std::vector<std::string> LogCapture::texts_at(int level) const {
  std::vector<std::string> out;
  for (const auto& m : messages())
    if (m.level == level) out.push_back(m.text);
  return out;
}

bool LogCapture::contains(const std::string& needle) const {
  for (const auto& m : messages())
    if (m.text.find(needle) != std::string::npos) return true;
  return false;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}
