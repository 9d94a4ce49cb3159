// The rule run: walks the configured rules in order and archives, deletes or
// cleans application caches, or (in a dry run) only says what it would do.
// Everything a rule would touch is checked by the path policy first, in dry
// runs too; real runs are made while holding the rule-run lock.
#pragma once

#include <cstdint>

#include "service/core/service_context.h"
#include "service/relocation/guards.h"
#include "service/rules/rule_items.h"

namespace brimvale::service {

enum class RunMode { kReal, kDry };

// Runs every rule. A real run starts a new batch first; a dry run changes
// nothing and records nothing. Requires loaded configuration; archiving
// needs the drive (callers check it for real runs). A rule whose source or
// destination the path policy refuses is skipped with a "rule skip" line.
// False when a real run stopped early: the batch could not be started, or an
// undo row could not be written (then nothing more is moved). Both are said.
[[nodiscard]] bool runRules(ServiceContext& ctx, Guards& guards, RunMode mode);
// The same run over only what `choice` takes: a listing of each item in a
// dry run, or the items of a preview still as they were in a real one.
[[nodiscard]] bool runRules(ServiceContext& ctx, Guards& guards, RunMode mode, ItemChoice& choice);

// Empties {path}/{safe dir} for every configured application path and safe
// folder name; `ageDays` 0 means every item, otherwise only older ones.
// Never starts a batch, so its rows join the run that called it.
void cleanAppCaches(ServiceContext& ctx, Guards& guards, RunMode mode, std::int64_t ageDays);

}  // namespace brimvale::service
