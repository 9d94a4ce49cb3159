// Cancelling the transfer job: stopping its processes and deleting its copy,
// which must prove it is this job's own before anything is deleted.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

// transfer-cancel [--yes|-y]: asks on a terminal before deleting a verified
// copy, refuses without a terminal and without --yes.
int transferCancelCommand(ServiceContext& ctx, const std::vector<std::string>& args);

// Whether deleting a verified copy was agreed to.
enum class CancelConsent { kGiven, kAskOnTerminal, kNone };

// Stops the job and deletes its copy, which must pass every check of a path
// read from a state file (else it stays, and the sentence saying so makes the
// exit status 1). A verified copy (`copied`) is deleted only with consent:
// asked for on `in` when kAskOnTerminal, refused (exit 2) when kNone. A job
// in `switching` is never cancelled.
int cancelTransfer(ServiceContext& ctx, CancelConsent consent, std::istream& in);

}  // namespace brimvale::service
