#include "serve/events.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "serve/jobs.h"

namespace {

struct Viewer {
  MHD_Connection *connection;
  std::string queue;
  bool suspended = false;
  bool dropped = false;
};

// Far more than a job's events between two writes a live viewer takes.
constexpr size_t VIEWER_QUEUE_LIMIT = 256 * 1024;

std::mutex hubMutex;
std::vector<Viewer *> viewers;
bool closing = false;
long runningJob = 0; // 0: none
std::string runningJobEvent;

std::string frame(const char *name, const std::string &data) {
  return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

void wake(Viewer &viewer) {
  if (viewer.suspended) {
    viewer.suspended = false;
    MHD_resume_connection(viewer.connection);
  }
}

ssize_t readEvents(void *cls, uint64_t, char *buffer, size_t max) {
  Viewer &viewer = *static_cast<Viewer *>(cls);
  std::lock_guard lock(hubMutex);
  if (viewer.dropped) {
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
  if (viewer.queue.empty()) {
    if (closing) {
      return MHD_CONTENT_READER_END_OF_STREAM;
    }
    viewer.suspended = true;
    MHD_suspend_connection(viewer.connection);
    return 0;
  }
  size_t size = std::min(max, viewer.queue.size());
  memcpy(buffer, viewer.queue.data(), size);
  viewer.queue.erase(0, size);
  return static_cast<ssize_t>(size);
}

void forgetViewer(void *cls) {
  Viewer *viewer = static_cast<Viewer *>(cls);
  {
    std::lock_guard lock(hubMutex);
    viewers.erase(std::remove(viewers.begin(), viewers.end(), viewer), viewers.end());
  }
  delete viewer;
}

} // namespace

MHD_Response *openEventStream(MHD_Connection *connection) {
  Viewer *viewer = new Viewer{connection, {}};
  bool busy = jobBusy(); // outside the lock: the capture thread may hold its own while it publishes
  {
    std::lock_guard lock(hubMutex);
    char state[64];
    if (runningJob != 0) {
      snprintf(state, sizeof state, "{\"busy\":true,\"job\":%ld}", runningJob);
    } else {
      snprintf(state, sizeof state, "{\"busy\":%s,\"job\":null}", busy ? "true" : "false");
    }
    viewer->queue = frame("state", state);
    if (runningJob != 0) {
      viewer->queue += frame("job", runningJobEvent);
    }
    viewers.push_back(viewer);
  }
  MHD_Response *response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, readEvents, viewer, forgetViewer);
  if (response == nullptr) {
    forgetViewer(viewer);
  }
  return response;
}

unsigned dropClosedViewers() {
  std::lock_guard lock(hubMutex);
  unsigned dropped = 0;
  for (Viewer *viewer : viewers) {
    if (!viewer->suspended || viewer->dropped) {
      continue; // the library watches it, or it goes already
    }
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(viewer->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    char byte;
    ssize_t got = info == nullptr ? 1 : recv(info->connect_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
      viewer->dropped = true;
      wake(*viewer);
      ++dropped;
    }
  }
  return dropped;
}

void closeEventStreams() {
  std::lock_guard lock(hubMutex);
  closing = true;
  for (Viewer *viewer : viewers) {
    wake(*viewer);
  }
}

void publishEvent(const char *name, const std::string &data) {
  std::string text = frame(name, data);
  std::lock_guard lock(hubMutex);
  if (strcmp(name, "job") == 0) {
    long job = 0;
    runningJob = sscanf(data.c_str(), "{\"job\":%ld", &job) == 1 && job > 0 ? job : -1;
    runningJobEvent = data;
  } else if (strcmp(name, "done") == 0) {
    runningJob = 0;
    runningJobEvent.clear();
  }
  for (Viewer *viewer : viewers) {
    if (viewer->dropped) {
      continue;
    }
    if (viewer->queue.size() + text.size() > VIEWER_QUEUE_LIMIT) {
      viewer->dropped = true;
      viewer->queue.clear();
    } else {
      viewer->queue += text;
    }
    wake(*viewer);
  }
}
