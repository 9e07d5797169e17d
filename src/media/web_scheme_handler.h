#pragma once
// The app://local/ resource scheme, independent of any web view: a request (a
// URL) goes in; a response (status 200, three headers, the whole file) or a
// failure (domain "Corvane", a code, a description) comes out. Interface files
// come from the web folder; "__media/<token>" and "__thumb/<token>" come from
// the media library and are looked up off the main thread. A web-view adapter
// forwards its start and stop callbacks here on the main thread.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/queue.h"

namespace corvane::media {

struct SchemeResponse {
  std::string url;  // the request's URL
  int status = 200;
  std::string httpVersion = "HTTP/1.1";
  std::vector<std::pair<std::string, std::string>> headers;  // in sending order
  std::string body;
};

struct SchemeFailure {
  std::string domain = "Corvane";
  int code = 0;
  std::optional<std::string> description;
};

// One request as the web view hands it over. The handler calls exactly one of
// respond (response, data, finish) or fail, at most once, and never after the
// request has been stopped.
class SchemeTask {
 public:
  virtual ~SchemeTask() = default;
  virtual std::optional<std::string> url() const = 0;
  virtual void respond(SchemeResponse response) = 0;
  virtual void fail(SchemeFailure failure) = 0;
};

// "text/html" … "application/octet-stream", by lower-cased extension.
std::string_view contentTypeForExtension(std::string_view extension);

class WebSchemeHandler : public std::enable_shared_from_this<WebSchemeHandler> {
 public:
  // `mainQueue` is where start and stop arrive and where media answers are
  // delivered; it must outlive every request. `workQueue` runs media lookups
  // and thumbnail generation.
  static std::shared_ptr<WebSchemeHandler> create(std::filesystem::path root, TaskQueue& mainQueue,
                                                  std::shared_ptr<TaskQueue> workQueue);
  // On the process's main queue, with a shared utility work queue.
  static std::shared_ptr<WebSchemeHandler> create(std::filesystem::path root);

  // Both on the main queue.
  void start(const std::shared_ptr<SchemeTask>& task);
  void stop(const std::shared_ptr<SchemeTask>& task);

  const std::filesystem::path& root() const { return root_; }
  // Media requests started and neither answered nor stopped.
  size_t liveTaskCount() const { return liveTasks_.size(); }

 private:
  WebSchemeHandler(std::filesystem::path root, TaskQueue& mainQueue, std::shared_ptr<TaskQueue> workQueue);
  void startMediaRoute(const std::shared_ptr<SchemeTask>& task, const std::string& url, const std::string& rel);
  void finishMediaRoute(uint64_t id, const std::string& url, const std::string& rel,
                        std::optional<std::pair<std::filesystem::path, std::string>> served);

  const std::filesystem::path root_;
  TaskQueue& mainQueue_;
  std::shared_ptr<TaskQueue> workQueue_;
  // Live media tasks by a number of their own, so an answer can never reach a
  // different task that happens to reuse a stopped task's address.
  uint64_t nextId_ = 1;
  std::map<uint64_t, std::shared_ptr<SchemeTask>> liveTasks_;
  std::unordered_map<const SchemeTask*, uint64_t> liveIds_;
};

// The bundle's resource folder: share/corvane beside the executable's bin/.
std::filesystem::path resourceDirectory();
// Its "web" subfolder, the root of the interface files.
std::filesystem::path webRootDirectory();

// `corvane-cli fetch URL [--out FILE]`: runs one request through the handler
// and prints the status line and headers, or the failure code and description
// (exit status 1). `args` are the arguments after "fetch".
int runFetchCommand(const std::vector<std::string>& args);
// The same with argv[0] being the subcommand's name.
int runFetchCommand(int argc, char** argv);

}  // namespace corvane::media
