// process_runner.cpp - child processes for the system tests.
#include "support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& add : env)
      if (entry.substr(0, entry.find('=') + 1) == add.substr(0, add.find('=') + 1)) replaced = true;
    if (!replaced) envs.push_back(entry);
  }
  for (const auto& add : env) envs.push_back(add);
  std::vector<char*> argv, envp;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // The test runner may block signals; the child starts with none blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

Process::~Process() {
  if (!done_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

void Process::send_signal(int signo) {
  if (!done_) kill(pid_, signo);
}

void Process::pump(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (poll(fds, 2, timeout_ms) <= 0) return;
  char buf[4096];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
    ssize_t n = read(fds[i].fd, buf, sizeof buf);
    if (n > 0) {
      (i == 0 ? result_.out : result_.err).append(buf, static_cast<size_t>(n));
    } else {
      close(fds[i].fd);
      (i == 0 ? out_fd_ : err_fd_) = -1;
    }
  }
}

bool Process::wait_for_stderr(const std::string& text, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (result_.err.find(text) == std::string::npos) {
    if (err_fd_ < 0 || std::chrono::steady_clock::now() > deadline) return false;
    pump(50);
  }
  return true;
}

const std::string& Process::stderr_so_far() {
  if (!done_) {
    for (int k = 0; k < 64 && err_fd_ >= 0; ++k) {
      pollfd f = {err_fd_, POLLIN, 0};
      if (poll(&f, 1, 0) <= 0) break;
      pump(0);
    }
  }
  return result_.err;
}

ProcessResult Process::wait(int timeout_ms) {
  if (done_) return result_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      result_.timed_out = true;
      kill(pid_, SIGKILL);
    }
    if (out_fd_ < 0) {
      pollfd f = {err_fd_, POLLIN, 0};
      if (poll(&f, 1, 50) > 0) pump(0);
    } else if (err_fd_ < 0) {
      pollfd f = {out_fd_, POLLIN, 0};
      if (poll(&f, 1, 50) > 0) pump(0);
    } else {
      pump(50);
    }
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  done_ = true;
  if (WIFEXITED(status)) result_.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.term_signal = WTERMSIG(status);
  return result_;
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, int timeout_ms) {
  Process p(program, args, env);
  return p.wait(timeout_ms);
}

TempDir::TempDir() {
  std::string tmpl = std::string(ZENT_BINARY_DIR) + "/tmp-XXXXXX";
  std::filesystem::create_directories(ZENT_BINARY_DIR);
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::ofstream f(file(name), std::ios::binary);
  f << text;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool eventually(const std::function<bool()>& done, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testsupport
