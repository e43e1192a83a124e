#include <csignal>

#include "port/interrupt.h"

namespace vexa::port {
namespace {

volatile sig_atomic_t g_interrupts = 0;

void OnInterrupt(int) { g_interrupts = g_interrupts + 1; }

}  // namespace

void InstallInterruptHandler() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
  }();
  (void)installed;
}

int InterruptCount() { return g_interrupts; }

}  // namespace vexa::port
