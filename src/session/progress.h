// Progress of a job's phase: begin, update (throttled), advance and end.
#pragma once

#include <cstdint>

namespace flashwire {

struct Session;

void ProgressBegin(Session& session, const char* text, uint32_t total);
void ProgressUpdate(Session& session, uint32_t done);
void ProgressAdvance(Session& session, uint32_t n);
void ProgressEnd(Session& session);

}  // namespace flashwire
