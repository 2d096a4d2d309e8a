// ThreadSanitizer's view of the simulated Windows; see race_detector.h.
#include "race_detector.h"

#ifdef SIMWIN_RACE_DETECTOR

#include <sanitizer/tsan_interface.h>

#include <utility>

// The detector's annotation entry points (exported by its run-time; no
// header of the tool chain declares them).
extern "C" {
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
}

namespace sim::race {

namespace {

// What the innermost scope asks for, and what the detector has been told.
// A host thread that no scope has claimed (a test's own thread) is watched.
thread_local bool watched = true;
thread_local bool stopped = false;
thread_local bool ignoring = false;

// Unwatched code is unwatched for its synchronisation too: the simulation's
// own atomics (the reference counts of its shared objects, say) would
// otherwise order every thread that touches the same object.
void Apply() {
  const bool ignore = !watched || stopped;
  if (ignore == ignoring) return;
  if (ignore) {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
  } else {
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
  }
  ignoring = ignore;
}

// Runs `annotate` with the synchronisation watched: the orderings are stated
// from inside the simulation's code.
template <class F>
void Watching(F annotate) {
  if (ignoring) AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
  annotate();
  if (ignoring) AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
}

}  // namespace

CodeScope::CodeScope(bool watch) : previous_(std::exchange(watched, watch)) { Apply(); }
CodeScope::~CodeScope() {
  watched = previous_;
  Apply();
}

void HappensBefore(const void* key) {
  Watching([key] { __tsan_release(const_cast<void*>(key)); });
}

void HappensAfter(const void* key) {
  Watching([key] { __tsan_acquire(const_cast<void*>(key)); });
}

void StopWatchingThread() {
  stopped = true;
  Apply();
}

void EndOfThread() {
  watched = true;
  stopped = false;
  Apply();
}

}  // namespace sim::race

#endif
