// The receiver simulator: a receiver's firmware and its clickers on a pseudo-terminal.
// Prints the pty path, then takes one command per line on standard input (see README.md).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "ReceiverSimulator.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  (void)!write(g_signalPipe[1], &c, 1);
}

void Usage() {
  fprintf(stderr,
          "usage: receiver-sim [--clickers N] [--login] [--product CODE] [--baud RATE] [--scan-ms MS]\n"
          "                    [--energy CH=VALUE]... [--pan CH=ID]... [--chunk BYTES] [--seed S] [--mac-low HEX]\n"
          "                    [--auto N] [--first-student NUMBER] [--delay MIN_MS MAX_MS] [--correct PERCENT]\n"
          "                    [--flood N] [--link PATH] [--tty PATH] [--stay] [--ledger PATH] [--signed-in-only]\n"
          "                    [--no-auto-answers]\n"
          "commands (I = clicker index, address 0x100 + I; Q = question number, 0 = the current one):\n"
          "  join | join I [STUDENT] | login I STUDENT | reply I TEXT... |\n"
          "  choice|number|short|text|math I Q TEXT... | answer I Q HEX... | enhanced I SEQ Q CHUNK HEX... |\n"
          "  hand I [0|1] | battery I LOW QUALITY | end I | logoff I | disassociate I | status S |\n"
          "  auto N [FIRST_STUDENT [MIN_MS MAX_MS [PERCENT]]] | auto off | flood [N [FIRST_INDEX [FIRST_STUDENT]]] |\n"
          "  clickers | questions | results [I] | received | raw HEX... | replug | reboot |\n"
          "  drop|corrupt|split|silent|mismatch on|off | quit\n"
          "--ledger PATH appends one line per answer the service acknowledged (every packet of it), and one\n"
          "per clicker the service put into review mode, each with a single write as it happens:\n"
          "  MS answer RECEIVER-MAC CLICKER-MAC ADDRESS QUESTION KIND HEX TEXT...\n"
          "  MS review RECEIVER-MAC CLICKER-MAC ADDRESS\n"
          "  (MS: ms since the epoch; MACs as 00-12-4B-00-0A-0B-0C-0D; ADDRESS: 4 hex digits; KIND: choice,\n"
          "  number, short, text, math or raw; HEX: the answer bytes; TEXT: what was typed, \"-\" for raw)\n"
          "--signed-in-only: typed answers only from clickers signed in and not in review, to questions sent\n"
          "--no-auto-answers: automatic clickers join and log in but answer only when told\n");
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

// The rest of the line after the words read so far, without its leading blanks.
std::string Rest(std::istringstream& in) {
  std::string rest;
  std::getline(in, rest);
  const size_t start = rest.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : rest.substr(start);
}

void PrintResults(const ClickerInfo& c) {
  for (const SimContent::StudentResults& r : c.results) {
    printf("%d results %d.%d%% offset %d questions %d grades", c.index, r.percent, r.tenths, r.offset, r.count);
    for (bool g : r.grades) printf(" %d", g ? 1 : 0);
    printf("\n");
  }
}

// Runs one command line; false for quit.
bool RunCommand(CReceiverSimulator& sim, const std::string& line) {
  std::istringstream in(line);
  std::string command;
  in >> command;
  int i = 0;
  auto fail = [&](const char* why) { fprintf(stderr, "receiver-sim: %s: %s\n", why, line.c_str()); };
  if (command == "quit") return false;
  if (command.empty() || command[0] == '#') return true;
  if (command == "join") {
    if (!(in >> i)) {
      sim.JoinAll();
    } else {
      std::string number;
      in >> number;
      if (!sim.Join(i, number)) fail("bad student number");
    }
  } else if (command == "login" && in >> i) {
    std::string number;
    in >> number;
    if (!sim.Login(i, number)) fail("bad student number");
  } else if (command == "reply" && in >> i) {
    if (!sim.AnswerText(i, Rest(in))) fail("no current question, or the answer does not fit its format");
  } else if (SimAnswers::KindFromName(command) && in >> i) {
    int question = 0;
    in >> question;
    if (!sim.AnswerText(i, Rest(in), question, SimAnswers::KindFromName(command)))
      fail("no such question, or the answer cannot be encoded");
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
  } else if (command == "end" && in >> i) {
    sim.EndSession(i);
  } else if (command == "logoff" && in >> i) {
    sim.LogOff(i);
  } else if (command == "disassociate" && in >> i) {
    sim.Disassociate(i);
  } else if (command == "status" && in >> i) {
    sim.SendStatus(static_cast<uint8_t>(i));
  } else if (command == "auto") {
    std::string first;
    in >> first;
    if (first == "off") {
      sim.StopAutomatic();
    } else {
      AutoSettings settings;
      const int count = atoi(first.c_str());
      in >> settings.firstStudent >> settings.minDelayMs >> settings.maxDelayMs >> settings.correctPercent;
      if (count <= 0) return fail("auto needs a clicker count"), true;
      sim.StartAutomatic(count, settings);
    }
  } else if (command == "flood") {
    int count = 500, firstIndex = 0, firstStudent = 5001;
    in >> count >> firstIndex >> firstStudent;
    sim.Flood(count, firstIndex, firstStudent);
  } else if (command == "clickers") {
    for (const ClickerInfo& c : sim.Clickers()) {
      printf("%d 0x%04x %s student=%s name=%s hand=%d battery=%s review=%d answers=%zu results=%zu\n", c.index,
             c.address, ToString(c.state), c.studentNumber.empty() ? "-" : c.studentNumber.c_str(),
             c.studentName.empty() ? "-" : c.studentName.c_str(), c.handUp ? 1 : 0, c.batteryLow ? "low" : "good",
             c.inReview ? 1 : 0, c.answers.size(), c.results.size());
    }
  } else if (command == "questions") {
    const SimContent::QuestionSet set = sim.Questions();
    printf("questions: %zu of %d (sequence %u, feedback %u)\n", set.questions.size(), set.total, set.sequence,
           set.feedback);
    for (const SimContent::Question& q : set.questions)
      printf("  %d %s choices=%u answer=%02x %02x %02x %02x %02x\n", q.number, SimContent::TypeName(q.type), q.choices,
             q.answer[0], q.answer[1], q.answer[2], q.answer[3], q.answer[4]);
  } else if (command == "results") {
    if (in >> i) {
      if (auto c = sim.Clicker(i)) PrintResults(*c);
    } else {
      for (const ClickerInfo& c : sim.Clickers()) PrintResults(c);
    }
  } else if (command == "received") {
    for (const auto& packet : sim.Received()) {
      for (uint8_t b : packet) printf("%02x ", b);
      printf("\n");
    }
  } else if (command == "raw") {
    sim.SendRaw(HexBytes(in));
  } else if (command == "reboot") {
    sim.Reboot();
  } else if (command == "replug") {
    if (sim.Replug())
      printf("%s\n", sim.PtyPath().c_str());
    else
      fprintf(stderr, "replug: cannot create a pseudo-terminal\n");
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
  } else {
    Usage();
  }
  fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  SimulatorConfig config;
  AutoSettings settings;
  int autoCount = 0, floodCount = 0;
  bool stay = false;
  std::string ledger;
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
    } else if (arg == "--chunk" && next) {
      config.enhancedChunk = static_cast<size_t>(atoi(argv[++i]));
    } else if (arg == "--seed" && next) {
      config.seed = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 0));
    } else if (arg == "--mac-low" && next) {
      config.macLow = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 16));
    } else if (arg == "--auto" && next) {
      autoCount = atoi(argv[++i]);
    } else if (arg == "--first-student" && next) {
      settings.firstStudent = atoi(argv[++i]);
    } else if (arg == "--delay" && i + 2 < argc) {
      settings.minDelayMs = atoi(argv[++i]);
      settings.maxDelayMs = atoi(argv[++i]);
    } else if (arg == "--correct" && next) {
      settings.correctPercent = atoi(argv[++i]);
    } else if (arg == "--flood" && next) {
      floodCount = atoi(argv[++i]);
    } else if (arg == "--link" && next) {
      config.linkPath = argv[++i];
    } else if (arg == "--tty" && next) {
      config.ttyPath = argv[++i];
    } else if (arg == "--stay") {
      stay = true;
    } else if (arg == "--ledger" && next) {
      ledger = argv[++i];
    } else if (arg == "--signed-in-only") {
      config.signedInOnly = true;
    } else if (arg == "--no-auto-answers") {
      settings.answers = false;
    } else {
      Usage();
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  if (pipe(g_signalPipe) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  CReceiverSimulator sim(config);
  if (!ledger.empty() && !sim.OpenLedger(ledger)) {
    fprintf(stderr, "receiver-sim: cannot open the ledger %s: %s\n", ledger.c_str(), strerror(errno));
    return 1;
  }
  if (!sim.Start()) {
    perror(config.ttyPath.empty() ? "receiver-sim: cannot create a pseudo-terminal"
                                  : "receiver-sim: cannot open the tty");
    return 1;
  }
  printf("%s\n", sim.SlavePath().c_str());
  fflush(stdout);
  if (autoCount > 0) sim.StartAutomatic(autoCount, settings);

  // The flood waits for the service to start a class network, then joins at once.
  std::thread flood;
  if (floodCount > 0) {
    flood = std::thread([&sim, floodCount] {
      const std::vector<uint8_t> start = {0x00, 0x00, 0x04, 0x01};
      if (sim.WaitFor([&](const auto& r) { return std::find(r.begin(), r.end(), start) != r.end(); }, 24 * 3600 * 1000))
        sim.Flood(floodCount);
    });
  }

  // Commands from standard input until quit, end of input (unless --stay) or a signal.
  std::string buffer;
  bool inputOpen = true;
  for (;;) {
    pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {inputOpen ? 0 : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    if (!fds[1].revents) continue;
    char chunk[4096];
    const ssize_t n = read(0, chunk, sizeof chunk);
    if (n <= 0) {
      inputOpen = false;
      if (!buffer.empty() && !RunCommand(sim, buffer)) break;
      buffer.clear();
      if (!stay) break;
      continue;
    }
    buffer.append(chunk, static_cast<size_t>(n));
    bool quit = false;
    for (size_t eol; !quit && (eol = buffer.find('\n')) != std::string::npos;) {
      const std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 1);
      quit = !RunCommand(sim, line);
    }
    if (quit) break;
  }
  sim.Stop();
  if (flood.joinable()) flood.join();
  return 0;
}
