#include "background_app.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>
#include <thread>

#include "common/base/file_io.h"

extern char** environ;

namespace brimvale::e2e {

ProcessResult runApp(const TempHome& home, std::vector<std::string> args, Env env) {
  env.emplace_back("HOME", home.path().string());
  return runProcess({.path = BRIMVALE_PATH,
                     .args = std::move(args),
                     .envAdditions = std::move(env),
                     .deadline = std::chrono::seconds(120)});
}

BackgroundApp::BackgroundApp(const TempHome& home, std::vector<std::string> args,
                             const std::string& outputName, Env extra)
    : output_(home.path() / outputName) {
  args.insert(args.begin(), BRIMVALE_PATH);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (!std::string_view(*e).starts_with("HOME=")) env.emplace_back(*e);
  }
  env.push_back("HOME=" + home.path().string());
  for (const auto& [k, v] : extra) env.push_back(k + "=" + v);
  const std::string out = output_.string();
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(BRIMVALE_PATH, argv.data(), envp.data());
    _exit(127);
  }
}

BackgroundApp::~BackgroundApp() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void BackgroundApp::signal(int sig) const { kill(pid_, sig); }

bool BackgroundApp::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == 0) return true;
  finished(status);
  return false;
}

int BackgroundApp::wait(std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (running() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

std::string BackgroundApp::output() const { return readFile(output_).value_or(""); }

void BackgroundApp::finished(int status) {
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
}

}  // namespace brimvale::e2e
