#include "media/commands.h"

#include <sys/stat.h>

#include <mutex>

#include "core/files.h"
#include "media/media_librarian.h"
#include "media/note_images.h"

namespace corvane::media {

namespace {

std::mutex& checkMutex() {
  static std::mutex m;
  return m;
}
std::function<bool()>& placeholderStoreCheck() {
  static std::function<bool()> check;
  return check;
}

bool activeStoreKeepsPlaceholders() {
  std::function<bool()> check;
  {
    std::lock_guard lock(checkMutex());
    check = placeholderStoreCheck();
  }
  // Every store that notes::activeNoteStore() can choose here is a folder
  // store; a store that writes placeholders plugs in through this check.
  return check ? check() : false;
}

std::string stringArgument(const Json& args, std::string_view key) {
  const Json* value = args.is_object() ? member(args, key) : nullptr;
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

bridge::CommandResult persistPastedImage(const Json& args) {
  if (!activeStoreKeepsPlaceholders()) return bridge::replyNull();
  auto token = storePastedImage(stringArgument(args, "dataUri"));
  if (!token) return fail("couldn't store the pasted image");
  return bridge::replyJson(Json(mediaURL(*token)));
}

bridge::CommandResult mediaDataUri(const Json& args) {
  std::string token = stringArgument(args, "token");
  auto file = mediaFile(token);
  if (!file) return fail("bad or missing media token");
  struct stat st {};
  if (::lstat(file->c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) > kMaxImageBytes)
    return fail("media file is too large");
  auto bytes = readRegularFile(*file, kMaxImageBytes, false);
  if (!bytes) {
    if (bytes.message() == "file too large") return fail("media file is too large");
    return fail("media file not found");
  }
  size_t dot = token.rfind('.');
  std::string extension = dot == std::string::npos ? std::string() : token.substr(dot + 1);
  return bridge::replyJson(Json("data:" + mimeTypeForExtension(extension) + ";base64," + base64Encode(*bytes)));
}

bridge::CommandResult mediaHealth(const Json&) {
  Json health = healthToJson(MediaLibrarian::shared()->health());
  if (compactJsonSize(health) == SIZE_MAX) return bridge::replyNull();
  return bridge::replyJson(health);
}

}  // namespace

void setPlaceholderStoreCheckForTesting(std::function<bool()> check) {
  std::lock_guard lock(checkMutex());
  placeholderStoreCheck() = std::move(check);
}

void installMediaCommands(bridge::Router& router) {
  using bridge::HandlerGroup;
  router.add(HandlerGroup::Notes, "persist_pasted_image", persistPastedImage);
  router.add(HandlerGroup::Notes, "get_media_data_uri", mediaDataUri);
  router.add(HandlerGroup::Notes, "get_media_health", mediaHealth);
}

}  // namespace corvane::media
