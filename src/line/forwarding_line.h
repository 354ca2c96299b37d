#pragma once
// A Line that hands every call to another one: the base of lines that add
// something to a port (the site worker's attentive line, test probes).

#include <memory>
#include <utility>

#include "line/line.h"

namespace vr {

class ForwardingLine : public Line {
 public:
  explicit ForwardingLine(std::unique_ptr<Line> port) : port_(std::move(port)) {}

  bool GetSettings(PortSettings& settings) override { return port_->GetSettings(settings); }
  bool SetSettings(const PortSettings& settings) override { return port_->SetSettings(settings); }
  bool GetTimeouts(LineTimeouts& timeouts) override { return port_->GetTimeouts(timeouts); }
  bool SetTimeouts(const LineTimeouts& timeouts) override { return port_->SetTimeouts(timeouts); }
  bool SetQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) override {
    return port_->SetQueues(inputBytes, outputBytes);
  }
  IoResult Read(std::span<std::uint8_t> buffer) override { return port_->Read(buffer); }
  IoResult Write(std::span<const std::uint8_t> bytes) override { return port_->Write(bytes); }
  IoResult SendFlowChar(std::uint8_t byte) override { return port_->SendFlowChar(byte); }
  IoResult ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                      WakeSignal* wake) override {
    return port_->ReadWithin(buffer, timeoutMs, wake);
  }
  bool Carrier() override { return port_->Carrier(); }
  bool SetDtr(bool on) override { return port_->SetDtr(on); }
  bool SetRts(bool on) override { return port_->SetRts(on); }
  std::uint32_t LastError() const override { return port_->LastError(); }
  void SetNotices(std::function<void(std::string)> notice) override {
    port_->SetNotices(std::move(notice));
  }

 protected:
  Line& Port() { return *port_; }

 private:
  std::unique_ptr<Line> port_;
};

}  // namespace vr
