#include "apps/macho_tool_fallback.h"

#include <utility>

namespace brimvale::apps {

MachOToolFallback codeInspectionFallback(platform::CodeInspectionTools tools) {
  return {.loadPaths =
              [tools](const std::filesystem::path& binary) {
                return platform::otoolLoadPaths(tools, binary);
              },
          .entitlementsXml =
              [tools](const std::filesystem::path& bundle) {
                return platform::codesignEntitlementsXml(tools, bundle);
              }};
}

MachOToolFallback hostMachOToolFallback(ProcessRunner run) {
#if defined(__APPLE__)
  return codeInspectionFallback({.run = std::move(run)});
#else
  (void)run;  // no Mach-O tools here
  return {};
#endif
}

}  // namespace brimvale::apps
