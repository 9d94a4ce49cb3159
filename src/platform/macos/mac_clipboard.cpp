#include "platform/macos/mac_clipboard.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/process.h"

namespace brimvale::platform {
namespace {

constexpr auto kDeadline = std::chrono::seconds(5);

// argv[0] is the mode; every answer is JSON.
constexpr const char* kScript = R"js(ObjC.import('AppKit');
function run(argv) {
  const pb = $.NSPasteboard.generalPasteboard;
  const mode = argv[0];
  if (mode === 'state') {
    return JSON.stringify({changeCount: pb.changeCount, types: ObjC.deepUnwrap(pb.types) || []});
  }
  if (mode === 'string') {
    const s = pb.stringForType(argv[1]);
    return JSON.stringify(s.isNil() ? null : ObjC.unwrap(s));
  }
  if (mode === 'data') {
    const d = pb.dataForType(argv[1]);
    return JSON.stringify(d.isNil() ? null : ObjC.unwrap(d.base64EncodedStringWithOptions(0)));
  }
  if (mode === 'files') {
    const opts = $.NSDictionary.dictionaryWithObjectForKey(true, 'NSPasteboardURLReadingFileURLsOnlyKey');
    const urls = pb.readObjectsForClassesOptions($.NSArray.arrayWithObject($.NSURL), opts);
    const out = [];
    if (!urls.isNil()) for (let i = 0; i < urls.count; i++) out.push(ObjC.unwrap(urls.objectAtIndex(i).path));
    return JSON.stringify(out);
  }
  if (mode === 'image') {
    const image = $.NSImage.alloc.initWithPasteboard(pb);
    if (image.isNil()) return 'false';
    const rep = $.NSBitmapImageRep.imageRepWithData(image.TIFFRepresentation);
    const png = rep.representationUsingTypeProperties($.NSBitmapImageFileTypePNG, $());
    return JSON.stringify(png.writeToFileAtomically(argv[1], true));
  }
  if (mode === 'write') {
    const offer = JSON.parse(argv[1]);
    pb.clearContents;
    const items = [];
    for (const p of offer.files) items.push($.NSURL.fileURLWithPath(p));
    if (items.length) pb.writeObjects($(items));
    if (offer.text.length) pb.setStringForType(offer.text, 'public.utf8-plain-text');
    if (offer.html.length) pb.setStringForType(offer.html, 'public.html');
    if (offer.rtfd.length) {
      const data = $.NSData.alloc.initWithBase64EncodedStringOptions(offer.rtfd, 0);
      if (!data.isNil()) pb.setDataForType(data, 'com.apple.flat-rtfd');
    }
    if (offer.png.length) pb.setDataForType($.NSData.dataWithContentsOfFile(offer.png), 'public.png');
    return JSON.stringify(pb.changeCount);
  }
  return 'null';
}
)js";

nlohmann::json parsed(std::string_view output) {
  return nlohmann::json::parse(output.begin(), output.end(), nullptr, false);
}

class MacClipboard final : public Clipboard {
 public:
  MacClipboard(std::string osascript, std::string scratch, ProcessRunner run)
      : osascript_(std::move(osascript)), scratch_(std::move(scratch)), run_(std::move(run)) {}

  std::int64_t changeCount() override {
    auto state = parseMacPasteboardState(ask({"state"}));
    return state ? state->changeCount : lastCount_;
  }
  std::optional<std::vector<std::string>> types() override {
    auto state = parseMacPasteboardState(ask({"state"}));
    if (!state) return std::nullopt;
    lastCount_ = state->changeCount;
    return state->types;
  }
  std::optional<std::string> text() override { return dataOf(kMacStringType); }
  ClipboardRichText richText(const std::vector<std::string>& types) override {
    const auto offered = [&](std::string_view type) {
      return std::find(types.begin(), types.end(), type) != types.end();
    };
    ClipboardRichText rich;
    if (offered(kMacHtmlType)) rich.html = dataOf(kMacHtmlType).value_or("");
    for (const auto type : {kMacRtfdType, kMacRtfdDocumentType}) {
      if (!offered(type)) continue;
      rich.rtfdBase64 = parseMacPasteboardData(ask({"data", std::string(type)})).value_or("");
      if (!rich.rtfdBase64.empty()) break;
    }
    return rich;
  }
  std::vector<std::string> filePaths() override { return parseMacPasteboardFiles(ask({"files"})); }
  // AppKit reads any image type it knows and hands it over as PNG.
  std::optional<std::vector<std::uint8_t>> image(const std::vector<std::string>&) override {
    const std::string file = scratch_ + "/pasteboard-image.png";
    if (ask({"image", file}) != "true") return std::nullopt;
    auto bytes = readFile(file);
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (!bytes) return std::nullopt;
    return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
  }
  std::optional<std::int64_t> write(const ClipboardOffer& offer) override {
    std::string png;
    if (!offer.png.empty()) {
      png = scratch_ + "/copy-back.png";
      if (!writeFileAtomically(png, std::string(offer.png.begin(), offer.png.end())))
        return std::nullopt;
    }
    const nlohmann::json request = {{"text", offer.text},
                                    {"html", offer.rich.html},
                                    {"rtfd", offer.rich.rtfdBase64},
                                    {"files", offer.filePaths},
                                    {"png", png}};
    const auto answer = parsed(ask({"write", request.dump()}));
    if (!answer.is_number_integer()) return std::nullopt;
    lastCount_ = answer.get<std::int64_t>();
    return lastCount_;
  }
  bool setOnChange(std::function<void()>) override { return false; }

 private:
  std::optional<std::string> dataOf(std::string_view type) {
    return parseMacPasteboardString(ask({"string", std::string(type)}));
  }
  std::string ask(std::vector<std::string> args) {
    std::vector<std::string> all = {"-l", "JavaScript", "-e", kScript};
    all.insert(all.end(), args.begin(), args.end());
    auto result = runTool(run_, osascript_, std::move(all), kDeadline);
    if (!result.succeeded()) return {};
    while (!result.out.empty() && result.out.back() == '\n') result.out.pop_back();
    return result.out;
  }

  std::string osascript_;
  std::string scratch_;
  std::int64_t lastCount_ = 0;
  ProcessRunner run_;
};

}  // namespace

std::optional<MacPasteboardState> parseMacPasteboardState(std::string_view output) {
  const auto json = parsed(output);
  if (!json.is_object() || !json.contains("changeCount") ||
      !json["changeCount"].is_number_integer())
    return std::nullopt;
  MacPasteboardState state;
  state.changeCount = json["changeCount"].get<std::int64_t>();
  if (json.contains("types") && json["types"].is_array())
    for (const auto& type : json["types"])
      if (type.is_string()) state.types.push_back(type.get<std::string>());
  return state;
}

std::optional<std::string> parseMacPasteboardString(std::string_view output) {
  const auto json = parsed(output);
  if (!json.is_string()) return std::nullopt;
  return json.get<std::string>();
}

std::optional<std::string> parseMacPasteboardData(std::string_view output) {
  auto text = parseMacPasteboardString(output);
  if (!text || text->empty() || text->size() % 4 != 0) return std::nullopt;
  const auto isBase64 = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
  };
  const auto padding = text->find('=');
  const auto body = std::string_view(*text).substr(0, padding);
  if (!std::all_of(body.begin(), body.end(), isBase64)) return std::nullopt;
  if (padding != std::string::npos &&
      (text->size() - padding > 2 || text->find_first_not_of('=', padding) != std::string::npos))
    return std::nullopt;
  return text;
}

std::vector<std::string> parseMacPasteboardFiles(std::string_view output) {
  const auto json = parsed(output);
  std::vector<std::string> paths;
  if (!json.is_array()) return paths;
  for (const auto& path : json)
    if (path.is_string()) paths.push_back(path.get<std::string>());
  return paths;
}

std::unique_ptr<Clipboard> makeMacClipboard(std::string osascript, std::string scratchFolder,
                                            ProcessRunner run) {
  return std::make_unique<MacClipboard>(std::move(osascript), std::move(scratchFolder),
                                        std::move(run));
}

}  // namespace brimvale::platform
