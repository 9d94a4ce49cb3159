#include "platform/macos/macho_tools.h"

#include <algorithm>

#include "common/base/process.h"

namespace brimvale::platform {
namespace {

std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// A dependency line: a tab, the path, then " (compatibility version ...)".
std::string_view dependencyPath(std::string_view line) {
  line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
  if (const std::size_t details = line.rfind(" (compatibility version");
      details != std::string_view::npos) {
    line = line.substr(0, details);
  }
  return line;
}

bool isDependencyLine(std::string_view line) {
  return line.starts_with('\t') || line.starts_with(' ');
}

Result<std::string> machoToolOutput(const CodeInspectionTools& tools, const std::string& tool,
                                    std::vector<std::string> args) {
  const ProcessResult result = runTool(tools.run, tool, std::move(args), tools.deadline);
  if (result.outcome == ProcessOutcome::kTimedOut) return fail(Errc::kTimedOut, tool);
  if (!result.succeeded()) return fail(Errc::kToolFailed, tool + " " + result.describe());
  return result.out;
}

}  // namespace

std::vector<std::string> parseOtoolLoadPaths(std::string_view output,
                                             std::string_view installName) {
  std::vector<std::string> paths;
  bool sectionStart = true;
  for (std::string_view line : linesOf(output)) {
    if (!isDependencyLine(line)) {
      sectionStart = true;
      continue;
    }
    const std::string_view path = dependencyPath(line);
    const bool ownName = sectionStart && !installName.empty() && path == installName;
    sectionStart = false;
    if (path.empty() || ownName) continue;
    if (std::ranges::find(paths, path) == paths.end()) paths.emplace_back(path);
  }
  return paths;
}

std::string parseOtoolInstallName(std::string_view output) {
  for (std::string_view line : linesOf(output)) {
    if (line.ends_with(':') || line.empty()) continue;
    return std::string(dependencyPath(line));
  }
  return {};
}

std::string parseCodesignEntitlementsXml(std::string_view output) {
  constexpr std::string_view kEnd = "</plist>";
  std::size_t begin = output.find("<?xml");
  if (begin == std::string_view::npos) begin = output.find("<plist");
  const std::size_t end = output.rfind(kEnd);
  if (begin == std::string_view::npos || end == std::string_view::npos || end < begin) return {};
  return std::string(output.substr(begin, end + kEnd.size() - begin));
}

Result<std::vector<std::string>> otoolLoadPaths(const CodeInspectionTools& tools,
                                                const std::filesystem::path& binary) {
  auto idOutput = machoToolOutput(tools, tools.otool, {"-D", binary.string()});
  if (!idOutput) return std::unexpected(idOutput.error());
  auto loadOutput = machoToolOutput(tools, tools.otool, {"-L", binary.string()});
  if (!loadOutput) return std::unexpected(loadOutput.error());
  return parseOtoolLoadPaths(*loadOutput, parseOtoolInstallName(*idOutput));
}

Result<std::string> codesignEntitlementsXml(const CodeInspectionTools& tools,
                                            const std::filesystem::path& bundle) {
  auto output = machoToolOutput(tools, tools.codesign,
                                {"-d", "--entitlements", "-", "--xml", bundle.string()});
  if (!output) return std::unexpected(output.error());
  return parseCodesignEntitlementsXml(*output);
}

}  // namespace brimvale::platform
