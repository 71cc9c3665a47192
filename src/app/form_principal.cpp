#include "app/form_principal.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "exchange/order_file.h"
#include "exchange/response_file.h"
#include "exchange/result_texts.h"
#include "serial/settings.h"

namespace ts {
namespace {

constexpr int kOrderIntervalMs = 500;
constexpr int kAnswerIntervalMs = 1000;
constexpr int kExitIntervalMs = 500;
constexpr int kEdgeDistancePixels = 30;

}  // namespace

FormPrincipal::FormPrincipal(EventLoop& loop, SerialControl& serial, Window& window,
                             std::string exeFolder, PathStyle pathStyle)
    : loop_(loop),
      mscom_(serial),
      window_(window),
      exeFolder_(std::move(exeFolder)),
      pathStyle_(pathStyle),
      timer1_(loop, kOrderIntervalMs, [this] { Timer1Tick(); }),
      timer2_(loop, kAnswerIntervalMs, [this] { Timer2Tick(); }),
      timer3_(loop, kExitIntervalMs, [this] { Timer3Tick(); }) {
  mscom_.setOnComm([this] { OnComm(); });
  window_.setOnClose([this] { WindowClosed(); });
}

std::string FormPrincipal::path(std::string_view suffix) const {
  return workingPath(exeFolder_, suffix, pathStyle_);
}

void FormPrincipal::start() {
  start(readDisplaySettings(exeFolder_, pathStyle_));
}

void FormPrincipal::start(const DisplaySettings& settings) {
  FormLoad(settings);
  if (!hidden_ && !closed_ && window_.canDisplay()) window_.setVisible(true);
}

bool FormPrincipal::yieldAndGoOn() {
  if (!closed_) loop_.yield();
  return !closed_;
}

void FormPrincipal::FormLoad(const DisplaySettings& settings) {
  if (settings.problem != DisplaySettings::Problem::None) {
    TextoErro = std::string(settings.problem == DisplaySettings::Problem::NoDisplayLine
                                ? results::kSemExibicao
                                : results::kSemTempo);
    timer2_.setEnabled(true);
    return;
  }
  if (settings.hidden) {
    hidden_ = true;
    window_.setVisible(false);
  }
  // Without a screen the run is timed as hidden, so that a display time of
  // 0 cannot keep an unattended run alive for ever.
  if (settings.displaySeconds && window_.canDisplay()) {
    timer3_.setInterval(*settings.displaySeconds * 1000);
  }
  placeWindow();
  if (!yieldAndGoOn()) return;
  timer1_.setEnabled(true);
}

void FormPrincipal::placeWindow() {
  const ScreenMetrics screen = window_.screenMetrics();
  const std::int32_t top = kEdgeDistancePixels * screen.twipsPerPixelY;
  // 32-bit twips: screens wider than 32767 twips place correctly too.
  const float left = static_cast<float>(screen.widthTwips) -
                     static_cast<float>(window_.outerWidthTwips()) -
                     static_cast<float>(kEdgeDistancePixels * screen.twipsPerPixelX);
  window_.moveTo(static_cast<std::int32_t>(std::lround(left)), top);
}

void FormPrincipal::Timer1Tick() {
  timer1_.setEnabled(false);
  NumPorta.clear();
  VelocidadePorta.clear();
  QtdBitsPorta.clear();
  QtdBitsStop.clear();
  TemParidade.clear();
  TextoPorta.clear();
  TextoErro.clear();
  if (readOrderIntoRecord()) runPortSteps();
  if (closed_) return;
  timer2_.setEnabled(true);
}

bool FormPrincipal::readOrderIntoRecord() {
  CaminhoAbsoluto = path(kOrderSuffix);
  OrderReading reading = readOrder(CaminhoAbsoluto);
  if (reading.status == OrderStatus::NotFound) {
    TextoErro = std::string(results::kOrdemAusente);
    return false;
  }
  Order& order = reading.order;
  NumPorta = std::move(order.numPorta);
  VelocidadePorta = std::move(order.velocidadePorta);
  QtdBitsPorta = std::move(order.qtdBitsPorta);
  QtdBitsStop = std::move(order.qtdBitsStop);
  TemParidade = std::move(order.temParidade);
  TextoPorta = std::move(order.textoPorta);
  if (reading.status == OrderStatus::Incorrect) {
    TextoErro = std::string(results::kOrdemIncorreta);
    return false;
  }
  return true;
}

void FormPrincipal::runPortSteps() {
  // ConfiguraPorta yields too: the window may be closed inside it.
  if (TextoErro.empty()) {
    ConfiguraPorta();
    if (!yieldAndGoOn()) return;
  }
  if (TextoErro.empty()) {
    AbrePorta();
    if (!yieldAndGoOn()) return;
  }
  if (TextoErro.empty()) {
    window_.setText(Control::TextTX, TextoPorta);
    if (!yieldAndGoOn()) return;
    mscom_.setOutput(TextoPorta);
  }
}

void FormPrincipal::ConfiguraPorta() {
  try {
    const auto port = parsePortNumber(NumPorta);
    if (!port) throw SerialError("port number is not a 16-bit number");
    mscom_.setCommPort(*port);
    mscom_.setSettings(settingsString(VelocidadePorta, TemParidade, QtdBitsPorta, QtdBitsStop));
    mscom_.setRThreshold(1);
    mscom_.setSThreshold(1);
    window_.setText(Control::LblPorta, portSummary(NumPorta, VelocidadePorta, QtdBitsPorta,
                                                   TemParidade, QtdBitsStop, mscom_.rThreshold()));
  } catch (const SerialError&) {
    TextoErro = std::string(results::kNaoConfigurada);
    return;
  }
  loop_.yield();
}

void FormPrincipal::AbrePorta() {
  try {
    mscom_.setInputLen(0);
    mscom_.setPortOpen(true);
  } catch (const SerialError&) {
    TextoErro = std::string(results::kNaoAberta);
  }
}

void FormPrincipal::FechaPorta() {
  try {
    mscom_.setPortOpen(false);
  } catch (const SerialError&) {
    // Closing is best effort: the run's result is already decided.
  }
}

void FormPrincipal::OnComm() {
  RespostaSerial += mscom_.input();
}

void FormPrincipal::Timer2Tick() {
  timer2_.setEnabled(false);
  // Moved, not copied: the reply is only ever needed as the result text,
  // and a flooding device can make it hundreds of megabytes.
  window_.setText(Control::TextRX,
                  results::chooseResult(TextoErro, std::exchange(RespostaSerial, {})));
  if (!yieldAndGoOn()) return;
  FechaPorta();
  // Closing waits for text still going out and keeps the window's events
  // flowing meanwhile: a window closed there stops the phase as at a yield.
  if (closed_) return;
  writeResponseFile();
  answered_ = true;
  timer3_.setEnabled(true);
}

void FormPrincipal::writeResponseFile() {
  CaminhoAbsoluto = path(kResponseSuffix);
  const std::string& shown = window_.text(Control::TextRX);
  if (writeResponse(CaminhoAbsoluto, shown)) {
    exitStatus_ = results::resultCode(shown);
    return;
  }
  exitStatus_ = kExitResponseNotWritten;
  std::fprintf(stderr, "terminal-serial: cannot write %sresposta.txt\n", CaminhoAbsoluto.c_str());
}

void FormPrincipal::Timer3Tick() {
  loop_.quit(exitStatus_);
}

void FormPrincipal::WindowClosed() {
  // The program ends wherever the run stands: phases not yet run never run,
  // and a phase that yielded stops at that yield. Not even the port is
  // closed the usual way, which would give queued text its line time: the
  // serial control lets go of it at once when the program ends.
  if (closed_) return;
  closed_ = true;
  loop_.quit(answered_ ? exitStatus_ : kExitWindowClosedEarly);
}

}  // namespace ts
