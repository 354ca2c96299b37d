#include "sim/hayes_modem.h"

#include <algorithm>
#include <cctype>

namespace vr::sim {

// The remote device's bytes reach the PC only in data mode.
class HayesModem::Forward final : public ByteSink {
 public:
  Forward(const HayesModem& modem, ByteSink& out) : modem_(modem), out_(out) {}
  void Put(std::uint8_t byte, TimeUs atUs) override {
    if (modem_.mode_ == Mode::kData) out_.Put(byte, atUs);
  }
  bool Full() const override { return out_.Full(); }

 private:
  const HayesModem& modem_;
  ByteSink& out_;
};

HayesModem::HayesModem(Device& remote, ModemConfig config)
    : remote_(remote), config_(config), tx_(config.baud) {
  remote_.SetLinkUp(false, 0);
}

TimeUs HayesModem::NextEventUs() const {
  return std::min({tx_.NextDoneUs(), timerUs_, remote_.NextEventUs()});
}

void HayesModem::RunUntil(TimeUs nowUs, ByteSink& out) {
  Forward forward(*this, out);
  for (;;) {
    const TimeUs txUs = tx_.NextDoneUs();
    const TimeUs remoteUs = remote_.NextEventUs();
    const TimeUs firstUs = std::min({txUs, timerUs_, remoteUs});
    if (firstUs > nowUs) break;
    if (txUs == firstUs) {
      out.Put(tx_.Pop(), txUs);
      if (tx_.Empty() && linkAfterReply_) {
        linkAfterReply_ = false;
        SetTimer(Timer::kRemoteStart, txUs + remoteStartDelayUs_);
      }
    } else if (timerUs_ == firstUs) {
      OnTimer(timerUs_);
    } else {
      // The remote stops early on a full sink and would stay due for ever.
      if (out.Full()) break;
      remote_.RunUntil(remoteUs, forward);
    }
  }
}

void HayesModem::SetTimer(Timer timer, TimeUs atUs) {
  timer_ = timer;
  timerUs_ = timer == Timer::kNone ? kNeverUs : atUs;
}

void HayesModem::SetRemoteLink(bool up, TimeUs nowUs) {
  if (remoteLinkUp_ == up) return;
  remoteLinkUp_ = up;
  remote_.SetLinkUp(up, nowUs);
}

void HayesModem::StartRemoteAfterReply(TimeUs delayUs, TimeUs nowUs) {
  if (tx_.Empty()) {
    SetTimer(Timer::kRemoteStart, nowUs + delayUs);
  } else {
    linkAfterReply_ = true;
    remoteStartDelayUs_ = delayUs;
  }
}

void HayesModem::Reply(const std::string& text, TimeUs nowUs) {
  if (!config_.answers) return;
  tx_.Queue("\r\n" + text + "\r\n", nowUs + config_.replyDelayUs);
}

void HayesModem::OnTimer(TimeUs atUs) {
  const Timer timer = timer_;
  SetTimer(Timer::kNone, 0);
  switch (timer) {
    case Timer::kConnect:
      carrier_ = true;
      mode_ = Mode::kData;
      lastDataUs_ = atUs;
      plusCount_ = 0;
      Reply("CONNECT " + std::to_string(config_.baud), atUs);
      // The remote device starts talking a while after the result code.
      StartRemoteAfterReply(config_.remoteStartUs, atUs);
      break;
    case Timer::kRemoteStart:
      if (mode_ == Mode::kData) SetRemoteLink(true, atUs);
      break;
    case Timer::kNoCarrier:
      mode_ = Mode::kCommand;
      Reply("NO CARRIER", atUs);
      break;
    case Timer::kEscape:
      mode_ = Mode::kOnlineCommand;
      plusCount_ = 0;
      SetRemoteLink(false, atUs);
      Reply("OK", atUs);
      break;
    case Timer::kNone:
      break;
  }
}

void HayesModem::Receive(std::uint8_t byte, TimeUs nowUs) {
  switch (mode_) {
    case Mode::kData:
      DataByte(byte, nowUs);
      return;
    case Mode::kDialling:
      // Any character aborts the call and is lost.
      SetTimer(Timer::kNone, 0);
      mode_ = Mode::kCommand;
      Reply("NO CARRIER", nowUs);
      return;
    case Mode::kCommand:
    case Mode::kOnlineCommand:
      break;
  }
  if (!config_.answers) return;  // a dead modem
  if (config_.echo) tx_.Queue(byte, nowUs);
  if (byte == '\r') {
    Command(nowUs);
    line_.clear();
  } else if (line_.size() < 256) {
    line_ += static_cast<char>(byte);
  }
}

void HayesModem::DataByte(std::uint8_t byte, TimeUs nowUs) {
  // "+++" counts only with the guard time of silence before it; anything
  // after it cancels the escape.
  if (byte == '+' && ((plusCount_ == 0 && nowUs - lastDataUs_ >= config_.guardUs) ||
                      (plusCount_ > 0 && plusCount_ < 3))) {
    ++plusCount_;
    if (plusCount_ == 3) SetTimer(Timer::kEscape, nowUs + config_.guardUs);
  } else {
    plusCount_ = 0;
    if (timer_ == Timer::kEscape) SetTimer(Timer::kNone, 0);
  }
  lastDataUs_ = nowUs;
  remote_.Receive(byte, nowUs);
}

void HayesModem::Command(TimeUs nowUs) {
  std::string text;
  for (char c : line_) {
    if (c == '\n' || c == ' ' || c == '\t') continue;
    text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  std::string shown;
  for (char c : line_) {
    if (c != '\n') shown += c;
  }
  commands_.push_back(shown);
  if (text.empty()) return;

  if (text.rfind("at", 0) == 0) {
    const std::string body = text.substr(2);
    if (body.rfind("h", 0) == 0) {
      HangUp(nowUs, nullptr);
      Reply("OK", nowUs);
      return;
    }
    if (body.rfind("o", 0) == 0) {
      if (carrier_) {
        Reply("CONNECT " + std::to_string(config_.baud), nowUs);
        mode_ = Mode::kData;
        lastDataUs_ = nowUs;
        // The link is trained already; the remote goes on once CONNECT is out
        // (the modem's one wire to the PC carries one thing at a time).
        StartRemoteAfterReply(0, nowUs);
      } else {
        Reply("NO CARRIER", nowUs);
      }
      return;
    }
    // A dial command anywhere in the line ("atx3dt0123", "atdp0123");
    // "&d2" is not one.
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (body[i] == 'd' && (i == 0 || body[i - 1] != '&')) {
        if (mode_ == Mode::kOnlineCommand) {
          Reply("ERROR", nowUs);
        } else {
          Dial(nowUs);
        }
        return;
      }
    }
    Reply("OK", nowUs);
    return;
  }
  // A telephone number on a line of its own dials it.
  const bool hasDigit = std::any_of(text.begin(), text.end(),
                                    [](char c) { return c >= '0' && c <= '9'; });
  const bool numberOnly = std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || std::string_view("tpw,-#*+()").find(c) !=
                                         std::string_view::npos;
  });
  if (hasDigit && numberOnly && mode_ == Mode::kCommand) {
    Dial(nowUs);
    return;
  }
  Reply("ERROR", nowUs);
}

void HayesModem::Dial(TimeUs nowUs) {
  ++dials_;
  mode_ = Mode::kDialling;
  switch (config_.dialResult) {
    case DialResult::kConnect:
      SetTimer(Timer::kConnect, nowUs + config_.connectDelayUs);
      break;
    case DialResult::kNoCarrier:
      SetTimer(Timer::kNoCarrier, nowUs + config_.noCarrierDelayUs);
      break;
    case DialResult::kNothing:
      SetTimer(Timer::kNone, 0);
      break;
  }
}

void HayesModem::HangUp(TimeUs nowUs, const char* reply) {
  if (carrier_) ++hangUps_;
  carrier_ = false;
  mode_ = Mode::kCommand;
  plusCount_ = 0;
  linkAfterReply_ = false;
  SetTimer(Timer::kNone, 0);
  SetRemoteLink(false, nowUs);
  if (reply != nullptr) Reply(reply, nowUs);
}

void HayesModem::DropCarrier(TimeUs nowUs) {
  if (carrier_ || mode_ == Mode::kDialling) HangUp(nowUs, "NO CARRIER");
}

void HayesModem::SetPcLines(bool dtr, bool /*rts*/, TimeUs nowUs) {
  const bool dropped = dtr_ && !dtr;
  dtr_ = dtr;
  if (dropped && config_.hangUpOnDtrDrop && (carrier_ || mode_ == Mode::kDialling)) {
    HangUp(nowUs, "NO CARRIER");
  }
}

}  // namespace vr::sim
