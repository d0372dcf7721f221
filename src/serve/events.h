// The viewers of /api/events and the web side's own copy of the capture
// thread's state.
//
// publishEvent (jobs.h) runs on the capture thread: it only appends the
// event to each viewer's queue and resumes the viewers that wait, under one
// short lock, and never waits on a viewer. Each viewer's stream reads its
// queue on the daemon's thread and suspends its connection when the queue is
// empty, so an idle viewer costs nothing. A viewer that falls too far behind
// is dropped rather than let its queue grow.
#pragma once

struct MHD_Connection;
struct MHD_Response;

// A new stream for `connection`: the current state first ("state", and the
// running job's "job" event), then every event as it comes.
MHD_Response *openEventStream(MHD_Connection *connection);

// A suspended connection is not watched by the library: a viewer that went
// away unseen would hold its place until the next event. Drops the viewers
// whose peer has closed, and returns how many.
unsigned dropClosedViewers();

// Ends every stream and resumes every suspended one, so that the daemon can
// stop; later streams end at once.
void closeEventStreams();
