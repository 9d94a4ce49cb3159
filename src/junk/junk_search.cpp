#include "junk/junk_search.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "junk/junk_link.h"

namespace brimvale::junk {
namespace {

using nlohmann::json;

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Five decimals keep the ranking and a fifth of the file size.
double rounded(float x) { return std::round(static_cast<double>(x) * 1e5) / 1e5; }

}  // namespace

std::string junkSearchText(const JunkItem& item) {
  std::string text = item.plainText.value_or("");
  const auto add = [&](std::string_view part) {
    if (part.empty()) return;
    if (!text.empty()) text += '\n';
    text += part;
  };
  if (auto link = junkItemLink(item); link && *link != trimmed(text)) add(*link);
  if (item.kind == JunkKind::kImage) add("image");
  if (item.fileRefName) add(*item.fileRefName);
  if (item.files) {
    for (const auto& f : *item.files) add(f.name);
  }
  return text;
}

float junkCosine(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  float dot = 0, na = 0, nb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  if (na == 0 || nb == 0) return 0;
  return dot / (std::sqrt(na) * std::sqrt(nb));
}

JunkSearchEngine::JunkSearchEngine(std::filesystem::path indexFile,
                                   const platform::SentenceEmbedding& embedding)
    : file_(std::move(indexFile)), embedding_(embedding) {}

void JunkSearchEngine::load() {
  std::lock_guard guard(mutex_);
  rows_.clear();
  auto text = readFile(file_);
  if (!text) return;
  const json doc = json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_array()) return;
  for (const auto& row : doc) {
    if (!row.is_object()) continue;
    auto id = row.find("id");
    auto v = row.find("v");
    auto t = row.find("t");
    if (id == row.end() || !id->is_string() || v == row.end() || !v->is_array() || t == row.end() ||
        !t->is_string()) {
      continue;
    }
    JunkIndexRow r{id->get<std::string>(), {}, t->get<std::string>()};
    r.v.reserve(v->size());
    for (const auto& x : *v) r.v.push_back(x.is_number() ? x.get<float>() : 0.0f);
    rows_.push_back(std::move(r));
  }
}

Result<bool> JunkSearchEngine::refresh(const std::vector<JunkItem>& items) {
  std::lock_guard guard(mutex_);
  return refreshLocked(items);
}

Result<bool> JunkSearchEngine::refreshLocked(const std::vector<JunkItem>& items) {
  std::unordered_map<std::string, JunkIndexRow*> byId;
  for (auto& row : rows_) byId.emplace(row.id, &row);
  std::vector<JunkIndexRow> next;
  next.reserve(items.size());
  bool changed = false;
  for (const auto& item : items) {
    std::string text = junkSearchText(item);
    auto it = byId.find(item.id);
    if (it != byId.end() && it->second->t == text &&
        it->second->v.size() == embedding_.dimension()) {
      next.push_back(std::move(*it->second));
      continue;
    }
    changed = true;
    next.push_back({item.id, embedding_.embed(text), std::move(text)});
  }
  changed = changed || next.size() != rows_.size();
  rows_ = std::move(next);
  if (!changed) return false;
  std::string out = "[";
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    json v = json::array();
    for (float x : rows_[i].v) v.push_back(rounded(x));
    json row = {{"id", rows_[i].id}, {"t", rows_[i].t}, {"v", std::move(v)}};
    out += (i ? ",\n" : "\n") + row.dump(-1, ' ', false, json::error_handler_t::replace);
  }
  out += "\n]\n";
  if (auto saved = writeFileAtomically(file_, out); !saved) return std::unexpected(saved.error());
  return true;
}

std::vector<JunkSearchHit> JunkSearchEngine::search(std::string_view query,
                                                    const std::vector<JunkItem>& items) {
  const std::string q = lowered(trimmed(query));
  if (q.empty() || items.empty()) return {};
  std::lock_guard guard(mutex_);
  // A failed save still leaves the fresh rows in memory to rank with.
  (void)refreshLocked(items);

  const std::size_t dim = embedding_.dimension();
  std::vector<float> weight(dim, 1.0f);
  if (embedding_.countsTerms() && !rows_.empty()) {
    std::vector<int> df(dim, 0);
    for (const auto& row : rows_) {
      for (std::size_t d = 0; d < dim && d < row.v.size(); ++d) df[d] += row.v[d] != 0.0f;
    }
    const float n = static_cast<float>(rows_.size());
    for (std::size_t d = 0; d < dim; ++d) weight[d] = std::log((1.0f + n) / (1.0f + df[d])) + 1.0f;
  }
  std::vector<float> qv = embedding_.embed(q);
  for (std::size_t d = 0; d < dim && d < qv.size(); ++d) qv[d] *= weight[d];

  std::vector<JunkSearchHit> hits;
  std::vector<float> weighted(dim);
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const auto& row = rows_[i];
    for (std::size_t d = 0; d < dim; ++d) weighted[d] = d < row.v.size() ? row.v[d] * weight[d] : 0;
    JunkSearchHit hit{row.id, junkCosine(qv, weighted),
                      lowered(row.t).find(q) != std::string::npos};
    if (hit.keyword || hit.score >= kJunkMinSimilarity) hits.push_back(std::move(hit));
  }
  // Rows follow the board's order, so a stable sort keeps it among equals.
  std::stable_sort(hits.begin(), hits.end(), [](const JunkSearchHit& a, const JunkSearchHit& b) {
    if (a.keyword != b.keyword) return a.keyword;
    return a.score > b.score;
  });
  return hits;
}

std::vector<JunkIndexRow> JunkSearchEngine::rows() const {
  std::lock_guard guard(mutex_);
  return rows_;
}

}  // namespace brimvale::junk
