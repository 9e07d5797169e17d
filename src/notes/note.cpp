#include "notes/note.h"

#include <ctime>
#include <cmath>

namespace corvane::notes {

namespace {

std::string textMember(const Json& json, std::string_view key) {
  const Json* v = member(json, key);
  return v && v->is_string() ? v->get<std::string>() : std::string();
}

bool boolMember(const Json& json, std::string_view key) {
  const Json* v = member(json, key);
  return v && v->is_boolean() ? v->get<bool>() : false;
}

int64_t intMember(const Json& json, std::string_view key) {
  const Json* v = member(json, key);
  if (!v) return 0;
  if (v->is_number_integer()) return v->get<int64_t>();
  if (v->is_number_float()) {
    // A cache written by another tool may carry ages as reals; out-of-range
    // values clamp instead of overflowing.
    double d = v->get<double>();
    if (!std::isfinite(d)) return 0;
    if (d >= 9.2e18) return INT64_MAX;
    if (d <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(d);
  }
  return 0;
}

}  // namespace

Json noteToJson(const Note& note) {
  Json j = Json::object();
  j["id"] = note.id;
  j["name"] = note.name;
  j["preview"] = note.preview;
  j["pinned"] = note.pinned;
  j["age"] = note.age;
  j["images"] = note.images;
  j["previewHTML"] = note.previewHTML;
  j["bodyHydrated"] = note.bodyHydrated;
  j["nativeAttachmentsHydrated"] = note.nativeAttachmentsHydrated;
  return j;
}

Note noteFromJson(const Json& json) {
  Note note;
  if (!json.is_object()) return note;
  note.id = textMember(json, "id");
  note.name = textMember(json, "name");
  note.preview = textMember(json, "preview");
  note.pinned = boolMember(json, "pinned");
  note.age = intMember(json, "age");
  if (const Json* images = member(json, "images"); images && images->is_array()) {
    for (const Json& image : *images)
      if (image.is_string()) note.images.push_back(image.get<std::string>());
  }
  note.previewHTML = textMember(json, "previewHTML");
  note.bodyHydrated = boolMember(json, "bodyHydrated");
  note.nativeAttachmentsHydrated = boolMember(json, "nativeAttachmentsHydrated");
  return note;
}

Json notesToJson(const std::vector<Note>& notes) {
  Json array = Json::array();
  for (const Note& note : notes) array.push_back(noteToJson(note));
  return array;
}

std::vector<Note> notesFromJson(const Json& json) {
  std::vector<Note> notes;
  if (!json.is_array()) return notes;
  notes.reserve(json.size());
  for (const Json& element : json)
    if (element.is_object()) notes.push_back(noteFromJson(element));
  return notes;
}

Json setBodyOutcomeToJson(const SetBodyOutcome& outcome) {
  Json j = Json::object();
  j["nativeAttachmentsBackedUp"] = outcome.nativeAttachmentsBackedUp;
  return j;
}

Json nativeAttachmentBackupToJson(const NativeAttachmentBackup& backup) {
  Json j = Json::object();
  j["savedTokens"] = backup.savedTokens;
  j["blockedByNonImage"] = backup.blockedByNonImage;
  j["failedCount"] = backup.failedCount;
  j["hadEmptyExport"] = backup.hadEmptyExport;
  return j;
}

int64_t ageAt(WallTime time) {
  double seconds = unixSeconds(time);
  // The offset that applies at this moment (daylight saving included), from
  // the current time zone rules: tzset re-reads them, so a zone changed while
  // the program runs is followed (localtime_r alone keeps the first one).
  ::tzset();
  std::time_t whole = static_cast<std::time_t>(std::floor(seconds));
  std::tm local{};
  long offset = 0;
  if (localtime_r(&whole, &local) != nullptr) offset = local.tm_gmtoff;
  return static_cast<int64_t>(-(seconds + static_cast<double>(offset)));
}

int64_t ageOfNow(const Clock& clock) { return ageAt(clock.now()); }

}  // namespace corvane::notes
