#pragma once

#include <string>

#include "app/startup_settings.h"
#include "app/working_path.h"
#include "loop/event_loop.h"
#include "loop/timer.h"
#include "serial/serial_control.h"
#include "ui/window.h"

namespace ts {

// Exit statuses beyond the result codes 0 to 7.
inline constexpr int kExitWindowClosedEarly = 8;  // closed before the response was written
inline constexpr int kExitResponseNotWritten = 10;
// Ended by a fault (abort, an exception nobody caught, a crash) without a
// dialog; whatever resposta.txt holds is not to be trusted (Windows).
inline constexpr int kExitFault = 11;

// The window that owns the run: its record, its three timers and the
// serial control. Each handler runs to completion on the loop's thread,
// except at its yields.
class FormPrincipal {
 public:
  FormPrincipal(EventLoop& loop, SerialControl& serial, Window& window, std::string exeFolder,
                PathStyle pathStyle);
  FormPrincipal(const FormPrincipal&) = delete;
  FormPrincipal& operator=(const FormPrincipal&) = delete;

  // Runs the start-up handler with the settings read from config.ini, then
  // shows the window unless it is hidden. Without settings, reads them.
  void start(const DisplaySettings& settings);
  void start();

  // Handlers, public so that tests can drive and observe a run.
  void FormLoad(const DisplaySettings& settings);
  void Timer1Tick();
  void Timer2Tick();
  void Timer3Tick();
  void OnComm();
  void ConfiguraPorta();
  void AbrePorta();
  void FechaPorta();
  void WindowClosed();

  // The run record.
  std::string CaminhoAbsoluto;
  std::string TextoErro;
  std::string RespostaSerial;
  std::string NumPorta;
  std::string VelocidadePorta;
  std::string QtdBitsPorta;
  std::string QtdBitsStop;
  std::string TemParidade;
  std::string TextoPorta;

  const Timer& timer1() const { return timer1_; }
  const Timer& timer2() const { return timer2_; }
  const Timer& timer3() const { return timer3_; }
  // The status the process ends with once the loop quits.
  int exitStatus() const { return exitStatus_; }

 private:
  // Yields to the loop; false when the window was closed meanwhile: the
  // handler then stops where it stands.
  bool yieldAndGoOn();
  bool readOrderIntoRecord();
  void runPortSteps();
  void placeWindow();
  void writeResponseFile();
  std::string path(std::string_view suffix) const;

  EventLoop& loop_;
  SerialControl& mscom_;
  Window& window_;
  const std::string exeFolder_;
  const PathStyle pathStyle_;
  Timer timer1_;
  Timer timer2_;
  Timer timer3_;
  bool hidden_ = false;
  bool answered_ = false;
  bool closed_ = false;
  int exitStatus_ = kExitWindowClosedEarly;
};

}  // namespace ts
