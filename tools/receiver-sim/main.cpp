// The receiver simulator: a receiver's firmware and its clickers on a pseudo-terminal.
// Prints the pty path, then takes one command per line on standard input.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "ReceiverSimulator.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: receiver-sim [--clickers N] [--login] [--product CODE] [--baud RATE] [--scan-ms MS]\n"
          "                    [--energy CH=VALUE]... [--pan CH=ID]...\n"
          "commands: join | hand I [0|1] | battery I LOW QUALITY | answer I Q HEX... |\n"
          "          enhanced I SEQ Q CHUNK HEX... | logoff I | disassociate I | status S |\n"
          "          drop|corrupt|split|silent|mismatch on|off | received | quit\n");
}

bool ChannelValue(const char* text, int* channel, long* value) {
  const char* eq = strchr(text, '=');
  if (!eq) return false;
  *channel = atoi(text);
  *value = strtol(eq + 1, nullptr, 0);
  return *channel >= 11 && *channel <= 26;
}

std::vector<uint8_t> HexBytes(std::istringstream& in) {
  std::vector<uint8_t> bytes;
  std::string item;
  while (in >> item) bytes.push_back(static_cast<uint8_t>(strtoul(item.c_str(), nullptr, 16)));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  SimulatorConfig config;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    int channel = 0;
    long value = 0;
    if (arg == "--clickers" && next) {
      config.clickers = atoi(argv[++i]);
    } else if (arg == "--login") {
      config.loginFlags |= 1;
    } else if (arg == "--product" && next) {
      config.productCode = atoi(argv[++i]);
    } else if (arg == "--baud" && next) {
      config.probeBaud = static_cast<uint32_t>(atoi(argv[++i]));
    } else if (arg == "--scan-ms" && next) {
      config.scanMs = atoi(argv[++i]);
    } else if (arg == "--energy" && next && ChannelValue(argv[++i], &channel, &value)) {
      config.energies[static_cast<size_t>(channel - 11)] = static_cast<uint8_t>(value);
    } else if (arg == "--pan" && next && ChannelValue(argv[++i], &channel, &value)) {
      config.panIds[static_cast<size_t>(channel - 11)] = static_cast<uint16_t>(value);
    } else {
      Usage();
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  CReceiverSimulator sim(config);
  if (!sim.Start()) {
    perror("receiver-sim: cannot create a pseudo-terminal");
    return 1;
  }
  printf("%s\n", sim.SlavePath().c_str());
  fflush(stdout);

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    int i = 0;
    if (command == "quit") break;
    if (command == "join") {
      sim.JoinAll();
    } else if (command == "hand" && in >> i) {
      int up = 1;
      in >> up;
      sim.RaiseHand(i, up != 0);
    } else if (command == "battery" && in >> i) {
      int low = 0, quality = 200;
      in >> low >> quality;
      sim.ReportBattery(i, low != 0, static_cast<uint8_t>(quality));
    } else if (command == "answer" && in >> i) {
      int question = 0;
      in >> question;
      sim.Answer(i, static_cast<uint8_t>(question), HexBytes(in));
    } else if (command == "enhanced" && in >> i) {
      int sequence = 0, question = 0, chunk = 8;
      in >> sequence >> question >> chunk;
      sim.EnhancedAnswer(i, static_cast<uint8_t>(sequence), static_cast<uint8_t>(question), HexBytes(in),
                         static_cast<size_t>(chunk));
    } else if (command == "logoff" && in >> i) {
      sim.LogOff(i);
    } else if (command == "disassociate" && in >> i) {
      sim.Disassociate(i);
    } else if (command == "status" && in >> i) {
      sim.SendStatus(static_cast<uint8_t>(i));
    } else if (command == "received") {
      for (const auto& packet : sim.Received()) {
        for (uint8_t b : packet) printf("%02x ", b);
        printf("\n");
      }
      fflush(stdout);
    } else if (command == "drop" || command == "corrupt" || command == "split" || command == "silent" ||
               command == "mismatch") {
      std::string state;
      in >> state;
      const bool on = state == "on";
      if (command == "drop") sim.dropAnswers = on;
      if (command == "corrupt") sim.corruptChecksums = on;
      if (command == "split") sim.splitFrames = on;
      if (command == "silent") sim.silent = on;
      if (command == "mismatch") sim.mismatchStatus = on;
    } else if (!command.empty()) {
      Usage();
    }
  }
  sim.Stop();
  return 0;
}
