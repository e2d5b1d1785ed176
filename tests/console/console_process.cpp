// mrim-console as a child process in --json mode.
#include "console_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace consoletest {

namespace fs = std::filesystem;

Match is(const std::string& kind) {
  return [kind](const Json& event) { return event.value("event", "") == kind; };
}

Match is(const std::string& kind, const std::string& field, const std::string& value) {
  return
      [=](const Json& event) { return event.value("event", "") == kind && event.value(field, "") == value; };
}

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "mrim-console-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

ConsoleProcess::ConsoleProcess(const std::vector<std::string>& args, const std::string& workdir) {
  int in_pipe[2], out_pipe[2];
  // Close-on-exec, so that a second console does not inherit (and hold open) the first one's
  // pipes; dup2 in the child clears the flag on the copies it makes.
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  stderr_path_ = workdir + "/console-stderr.txt";
  std::vector<std::string> argv_text = {MRIM_CONSOLE_PATH, "--json"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // The child: only async-signal-safe calls until exec.
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    close(in_pipe[0]);
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(out_pipe[1]);
    if (chdir(workdir.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  stdout_fd_ = out_pipe[0];
  // A console that dies must not take the test with it through SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  reader_ = std::thread([this] { read_output(); });
}

ConsoleProcess::~ConsoleProcess() { finish(milliseconds(10000)); }

void ConsoleProcess::read_output() {
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(stdout_fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      std::lock_guard lock(mu_);
      lines_.push_back(line);
      // Anything that is no JSON object stays in the transcript only.
      Json event = Json::parse(line, nullptr, false);
      if (event.is_object()) events_.push_back(std::move(event));
      cv_.notify_all();
    }
  }
  std::lock_guard lock(mu_);
  ended_ = true;
  cv_.notify_all();
}

void ConsoleProcess::send(const std::string& line) {
  if (stdin_fd_ < 0) return;
  std::string text = line + "\n";
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = write(stdin_fd_, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

std::optional<Json> ConsoleProcess::next(const Match& match, milliseconds timeout) {
  std::unique_lock lock(mu_);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (size_t i = cursor_; i < events_.size(); ++i) {
      if (match(events_[i])) {
        cursor_ = i + 1;
        return events_[i];
      }
    }
    if (ended_) return std::nullopt;
    if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (size_t i = cursor_; i < events_.size(); ++i) {
        if (match(events_[i])) {
          cursor_ = i + 1;
          return events_[i];
        }
      }
      return std::nullopt;
    }
  }
}

std::optional<Json> ConsoleProcess::await(const Match& match, milliseconds timeout) {
  std::unique_lock lock(mu_);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t looked = 0;
  for (;;) {
    for (; looked < events_.size(); ++looked)
      if (match(events_[looked])) return events_[looked];
    if (ended_) return std::nullopt;
    if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; looked < events_.size(); ++looked)
        if (match(events_[looked])) return events_[looked];
      return std::nullopt;
    }
  }
}

Json ConsoleProcess::command(const std::string& line, milliseconds timeout) {
  send(line);
  std::optional<Json> answer = next(
      [](const Json& e) { return e.value("event", "") == "ok" || e.value("event", "") == "error"; }, timeout);
  return answer.value_or(Json());
}

std::vector<Json> ConsoleProcess::events() const {
  std::lock_guard lock(mu_);
  return events_;
}

std::vector<Json> ConsoleProcess::all(const Match& match) const {
  std::vector<Json> found;
  for (const Json& event : events())
    if (match(event)) found.push_back(event);
  return found;
}

int ConsoleProcess::finish(milliseconds timeout) {
  if (pid_ < 0) return exit_status_;
  if (stdin_fd_ >= 0) {
    close(stdin_fd_);
    stdin_fd_ = -1;
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(20));
  if (done == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    exit_status_ = -1;
  } else {
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  pid_ = -1;
  if (reader_.joinable()) reader_.join();
  close(stdout_fd_);
  return exit_status_;
}

std::string ConsoleProcess::transcript() const {
  std::ostringstream out;
  out << "--- console stdout ---\n";
  {
    std::lock_guard lock(mu_);
    for (const std::string& line : lines_) out << line << "\n";
  }
  std::ifstream err(stderr_path_);
  out << "--- console stderr ---\n" << err.rdbuf();
  return out.str();
}

}  // namespace consoletest
