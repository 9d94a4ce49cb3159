#include "common/state/remembered_versions.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

#include "common/base/file_io.h"
#include "common/base/replace_guard.h"

namespace brimvale {
namespace {

using nlohmann::json;

// What changes when a program is upgraded, reinstalled or swapped for
// another: a new inode, or new time stamps on the same one.
std::optional<std::string> programStamp(const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const FileIdentity id = FileIdentity::from(st);
  return std::to_string(id.device) + " " + std::to_string(id.inode) + " " +
         std::to_string(id.size) + " " + std::to_string(id.mtimeNs) + " " +
         std::to_string(id.ctimeNs);
}

json readRemembered(const std::filesystem::path& file) {
  auto text = readFile(file);
  if (!text) return json::object();
  json all = json::parse(*text, nullptr, false);
  return all.is_object() ? all : json::object();
}

std::optional<ProcessResult> rememberedAnswer(const json& all, const std::string& path,
                                              const std::string& stamp) {
  const auto entry = all.find(path);
  if (entry == all.end() || !entry->is_object()) return std::nullopt;
  const auto kept = entry->find("stamp"), code = entry->find("exitCode"), out = entry->find("out"),
             err = entry->find("err");
  if (kept == entry->end() || !kept->is_string() || kept->get<std::string>() != stamp ||
      code == entry->end() || !code->is_number_integer() || out == entry->end() ||
      !out->is_string() || err == entry->end() || !err->is_string())
    return std::nullopt;
  ProcessResult answer;
  answer.outcome = ProcessOutcome::kExited;
  answer.exitCode = code->get<int>();
  answer.out = out->get<std::string>();
  answer.err = err->get<std::string>();
  return answer;
}

}  // namespace

ProcessRunner rememberingVersions(ProcessRunner run, std::filesystem::path file) {
  return [run = std::move(run), file = std::move(file)](const ProcessInvocation& invocation) {
    if (invocation.args.size() != 1 || invocation.args.front() != "--version")
      return run(invocation);
    const auto stamp = programStamp(invocation.path);
    if (!stamp) return run(invocation);
    json all = readRemembered(file);
    if (auto answer = rememberedAnswer(all, invocation.path, *stamp)) return *answer;
    ProcessResult result = run(invocation);
    // Kept only when the program file was the same one before and after it answered.
    if (result.outcome == ProcessOutcome::kExited && programStamp(invocation.path) == stamp) {
      all[invocation.path] = {{"stamp", *stamp},
                              {"exitCode", result.exitCode},
                              {"out", result.out},
                              {"err", result.err}};
      std::string text;
      try {
        text = all.dump(1) + "\n";
      } catch (const json::exception&) {
        return result;  // an answer that is not text is simply asked for again
      }
      // A cache: rewritten whenever it is missing, so not worth a flush.
      (void)writeFileAtomically(file, text, {.durability = Durability::kRebuilt});
    }
    return result;
  };
}

}  // namespace brimvale
