#include "insights/stats.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unicode/locid.h>
#include <unicode/numberformatter.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>
#include <set>

#include "bridge/shell_hooks.h"
#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "records/private_files.h"

namespace corvane::insights {

namespace {

constexpr size_t kMaxFileBytes = size_t{32} << 20;
constexpr const char* kFileName = "stats.json";
// A file we could not read or decode is moved here before the first write, so
// a damaged record can still be recovered by hand.
constexpr const char* kAsideName = "stats.json.corrupt";

int64_t clampCounter(int64_t v) { return std::clamp(v, -kMaxCounter, kMaxCounter); }

int64_t addCounter(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? kMaxCounter : -kMaxCounter;
  return clampCounter(sum);
}

int64_t timeSavedSeconds(int64_t focusSessions) {
  int64_t sessions = std::max<int64_t>(focusSessions, 0);
  if (sessions > kMaxCounter / kSecondsPerFocusSession) return kMaxCounter;
  return sessions * kSecondsPerFocusSession;
}

// A counter as stored or sent: any JSON number, truncated and clamped to the
// counter range; anything else is absent.
std::optional<int64_t> readCounter(const Json* v) {
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) {
    uint64_t u = v->get<uint64_t>();
    return u > static_cast<uint64_t>(kMaxCounter) ? kMaxCounter : static_cast<int64_t>(u);
  }
  if (v->is_number_integer()) return clampCounter(v->get<int64_t>());
  if (v->is_number_float()) {
    double d = v->get<double>();
    if (!std::isfinite(d)) return std::nullopt;
    d = std::trunc(d);
    if (d >= static_cast<double>(kMaxCounter)) return kMaxCounter;
    if (d <= -static_cast<double>(kMaxCounter)) return -kMaxCounter;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

int64_t readCounterOr0(const Json& object, std::string_view key) {
  return readCounter(member(object, key)).value_or(0);
}

// Remote figures are never negative: a negative count is nonsense, not a debt.
int64_t readRemoteCounter(const Json& object, std::string_view key) {
  return std::max<int64_t>(readCounterOr0(object, key), 0);
}

// The eight daily keys, in record order, with their member pointers.
struct CounterField {
  const char* key;
  int64_t DailyStats::*field;
};
constexpr std::array<CounterField, 8> kDailyFields{{
    {"thoughts", &DailyStats::thoughts},
    {"words", &DailyStats::words},
    {"clips", &DailyStats::clips},
    {"followups", &DailyStats::followups},
    {"documents", &DailyStats::documents},
    {"builds", &DailyStats::builds},
    {"summons", &DailyStats::summons},
    {"focusSessions", &DailyStats::focusSessions},
}};

struct TotalField {
  const char* key;
  int64_t StatsData::*field;
};
// The totals a remote merge may raise, in order.
constexpr std::array<TotalField, 9> kTotalFields{{
    {"thoughts", &StatsData::thoughts},
    {"words", &StatsData::words},
    {"clips", &StatsData::clips},
    {"followups", &StatsData::followups},
    {"documents", &StatsData::documents},
    {"builds", &StatsData::builds},
    {"summons", &StatsData::summons},
    {"focusSessions", &StatsData::focusSessions},
    {"activeDays", &StatsData::activeDays},
}};

DailyStats readDaily(const Json& object, bool remote) {
  DailyStats d;
  for (const auto& f : kDailyFields)
    d.*f.field = remote ? readRemoteCounter(object, f.key) : readCounterOr0(object, f.key);
  return d;
}

Json encodeDaily(const DailyStats& d) {
  Json out = Json::object();
  for (const auto& f : kDailyFields) out[f.key] = d.*f.field;
  return out;
}

void addDaily(DailyStats& into, const DailyStats& delta) {
  for (const auto& f : kDailyFields) into.*f.field = addCounter(into.*f.field, delta.*f.field);
}

Stats::Totals totalsOf(const StatsData& d) {
  Stats::Totals t;
  t.thoughts = d.thoughts;
  t.words = d.words;
  t.clips = d.clips;
  t.followups = d.followups;
  t.documents = d.documents;
  t.builds = d.builds;
  t.summons = d.summons;
  t.focusSessions = d.focusSessions;
  t.activeDays = d.activeDays;
  t.timeSavedSeconds = timeSavedSeconds(d.focusSessions);
  t.focusKept = d.summons;
  return t;
}

Json encodeTotals(const Stats::Totals& t) {
  Json out = Json::object();
  out["thoughts"] = t.thoughts;
  out["words"] = t.words;
  out["clips"] = t.clips;
  out["followups"] = t.followups;
  out["documents"] = t.documents;
  out["builds"] = t.builds;
  out["summons"] = t.summons;
  out["focusSessions"] = t.focusSessions;
  out["activeDays"] = t.activeDays;
  out["timeSavedSeconds"] = t.timeSavedSeconds;
  out["focusKept"] = t.focusKept;
  return out;
}

bool localDate(WallTime t, int& year, unsigned& month, unsigned& day) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  // localtime_r reads the zone only once per process; a change of the
  // system's zone (travel) should move the day boundary too.
  ::tzset();
  std::tm tm{};
  if (!::localtime_r(&tt, &tm) && !::gmtime_r(&tt, &tm)) return false;
  year = tm.tm_year + 1900;
  month = static_cast<unsigned>(tm.tm_mon + 1);
  day = static_cast<unsigned>(tm.tm_mday);
  return true;
}

std::string formatDay(int year, unsigned month, unsigned day) {
  return fmt::format("{:04d}-{:02d}-{:02d}", year, month, day);
}

std::set<std::string> daySet(WallTime now, int n) {
  auto keys = lastDays(now, n);
  return std::set<std::string>(keys.begin(), keys.end());
}

icu::Locale resolveLocale(std::string_view id) {
  icu::Locale loc = id.empty() ? icu::Locale::getDefault() : icu::Locale(std::string(id).c_str());
  // The C/POSIX locale of a bare environment formats without grouping; the
  // user expects plain English there.
  std::string language = loc.getLanguage();
  if (loc.isBogus() || language.empty() || language == "c" || std::string_view(loc.getVariant()) == "POSIX")
    return icu::Locale("en_US");
  return loc;
}

}  // namespace

// ---- helpers

std::string dayKey(WallTime t) {
  int y = 1970;
  unsigned m = 1, d = 1;
  localDate(t, y, m, d);
  return formatDay(y, m, d);
}

std::vector<std::string> lastDays(WallTime now, int n) {
  std::vector<std::string> out;
  if (n <= 0) return out;
  int y = 1970;
  unsigned m = 1, d = 1;
  localDate(now, y, m, d);
  // Calendar arithmetic on the date itself: no time of day, so DST never
  // skips or repeats a day.
  const std::chrono::sys_days today{std::chrono::year{y} / std::chrono::month{m} / std::chrono::day{d}};
  out.reserve(static_cast<size_t>(n));
  for (int a = n - 1; a >= 0; --a) {
    std::chrono::year_month_day ymd{today - std::chrono::days{a}};
    out.push_back(formatDay(static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                            static_cast<unsigned>(ymd.day())));
  }
  return out;
}

std::string formatCount(int64_t value, std::string_view locale) {
  UErrorCode status = U_ZERO_ERROR;
  auto formatter = icu::number::NumberFormatter::withLocale(resolveLocale(locale));
  icu::UnicodeString text = formatter.formatInt(value, status).toString(status);
  std::string out;
  if (U_SUCCESS(status)) text.toUTF8String(out);
  if (out.empty()) out = std::to_string(value);
  return out;
}

std::string formatDuration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  int64_t h = seconds / 3600, m = (seconds % 3600) / 60, r = seconds % 60;
  if (seconds < 3600) return r == 0 ? fmt::format("{}m", m) : fmt::format("{}m {}s", m, r);
  return r == 0 ? fmt::format("{}h {}m", h, m) : fmt::format("{}h {}m {}s", h, m, r);
}

StatsData decodeStats(std::string_view text, bool* decoded) {
  StatsData data;
  if (decoded) *decoded = false;
  auto parsed = parseJson(text);
  if (!parsed || !parsed->is_object()) return data;
  if (decoded) *decoded = true;
  const Json& root = *parsed;

  for (const auto& f : kTotalFields) data.*f.field = readCounterOr0(root, f.key);
  if (const Json* v = member(root, "lastActiveDay"); v && v->is_string()) data.lastActiveDay = v->get<std::string>();
  if (const Json* v = member(root, "celebrated"); v && v->is_array()) {
    for (const auto& item : *v)
      if (item.is_string()) data.celebrated.push_back(item.get<std::string>());
  }
  if (const Json* v = member(root, "history"); v && v->is_object()) {
    for (const auto& [day, counters] : v->items())
      if (counters.is_object()) data.history[day] = readDaily(counters, false);
  }
  if (const Json* v = member(root, "destHistory"); v && v->is_object()) {
    for (const auto& [day, dests] : v->items()) {
      if (!dests.is_object()) continue;
      auto& entry = data.destHistory[day];
      for (const auto& [id, count] : dests.items())
        if (auto c = readCounter(&count)) entry[id] = *c;
    }
  }
  if (const Json* v = member(root, "destNames"); v && v->is_object()) {
    for (const auto& [id, name] : v->items())
      if (name.is_string()) data.destNames[id] = name.get<std::string>();
  }
  return data;
}

std::string encodeStats(const StatsData& data) {
  Json out = Json::object();
  for (const auto& f : kTotalFields) {
    if (std::string_view(f.key) == "activeDays") continue;
    out[f.key] = data.*f.field;
  }
  out["activeDays"] = data.activeDays;
  out["lastActiveDay"] = data.lastActiveDay;
  out["celebrated"] = data.celebrated;
  Json history = Json::object();
  for (const auto& [day, counters] : data.history) history[day] = encodeDaily(counters);
  out["history"] = std::move(history);
  Json dest = Json::object();
  for (const auto& [day, counts] : data.destHistory) {
    Json entry = Json::object();
    for (const auto& [id, count] : counts) entry[id] = count;
    dest[day] = std::move(entry);
  }
  out["destHistory"] = std::move(dest);
  Json names = Json::object();
  for (const auto& [id, name] : data.destNames) names[id] = name;
  out["destNames"] = std::move(names);
  return dumpCompact(out);
}

// ---- Stats

Stats::Stats() : Stats(Options{}) {}

Stats::Stats(Options options)
    : queue_(options.queue ? std::move(options.queue) : std::make_shared<SerialQueue>("com.corvane.stats")),
      clock_(options.clock ? options.clock : &systemClock()),
      directory_(options.directory.empty() ? dataDirectory() : std::move(options.directory)),
      file_(directory_ / kFileName),
      locale_(std::move(options.locale)) {}

Stats::~Stats() { flush(); }

namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
// Never destroyed: queued work may still be running while the process exits.
// The shell and the CLI call flush() before they exit.
std::shared_ptr<Stats>& sharedSlot() {
  static auto* slot = new std::shared_ptr<Stats>();
  return *slot;
}
}  // namespace

Stats& Stats::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<Stats>();
  return *slot;
}

void Stats::setSharedForTesting(std::shared_ptr<Stats> stats) {
  std::shared_ptr<Stats> old;
  {
    std::lock_guard lock(sharedMutex());
    old = std::exchange(sharedSlot(), std::move(stats));
  }
  // `old` is flushed and released outside the lock.
}

void Stats::flushShared() {
  std::shared_ptr<Stats> current;
  {
    std::lock_guard lock(sharedMutex());
    current = sharedSlot();
  }
  if (current) current->flush();
}

void Stats::flush() {
  // A coalesced save is posted from inside a change, so it can sit behind this
  // marker; write it here rather than return before the file is current.
  queue_->runSync([this] {
    try {
      if (savePending_) save();
    } catch (...) {
    }
  });
}

StatsData& Stats::load() {
  if (cache_) return *cache_;
  auto text = readFileLimited(file_, kMaxFileBytes);
  bool decoded = false;
  if (text) {
    cache_ = std::make_unique<StatsData>(decodeStats(*text, &decoded));
    fileUndecodable_ = !decoded;
  } else {
    cache_ = std::make_unique<StatsData>();
    std::error_code ec;
    fileUndecodable_ = std::filesystem::exists(std::filesystem::symlink_status(file_, ec));
  }
  return *cache_;
}

void Stats::save() {
  savePending_ = false;
  if (!cache_) return;
  // Write failures are ignored: the counters live on in the cache for this run.
  if (!records::ensurePrivateDirectory(directory_)) return;
  if (fileUndecodable_) {
    fs::path aside = directory_ / kAsideName;
    if (::rename(file_.c_str(), aside.c_str()) == 0) ::chmod(aside.c_str(), 0600);
    fileUndecodable_ = false;
  }
  (void)records::writePrivateFile(encodeStats(*cache_), file_);
}

void Stats::scheduleSave() {
  if (savePending_) return;
  savePending_ = true;
  // Runs after every change queued so far: a burst of records costs one write.
  queue_->post([this] {
    try {
      if (savePending_) save();  // flush() may have written it already
    } catch (...) {
    }
  });
}

void Stats::prune(StatsData& data) const {
  const auto keep = daySet(clock_->now(), kHistoryDays);
  std::erase_if(data.history, [&](const auto& entry) { return !keep.count(entry.first); });
  std::erase_if(data.destHistory, [&](const auto& entry) { return !keep.count(entry.first); });
  std::set<std::string_view> used;
  for (const auto& [day, counts] : data.destHistory)
    for (const auto& [id, count] : counts) used.insert(id);
  std::erase_if(data.destNames, [&](const auto& entry) { return !used.count(entry.first); });
}

std::vector<std::string> Stats::checkMilestones(StatsData& data) const {
  const std::string& loc = locale_;
  auto count = [&loc](int64_t n) { return formatCount(n, loc); };
  const std::vector<Milestone> table = {
      {"thoughts", "Thoughts cleared", data.thoughts, {25, 100, 500, 1000},
       [&](int64_t n) { return count(n) + " thoughts cleared from your head — kept, not lost."; }},
      {"words", "Thoughts cleared", data.words, {5000, 25000, 100000},
       [&](int64_t n) { return count(n) + " words kept here."; }},
      {"clips", "Clips kept", data.clips, {50, 250, 1000},
       [&](int64_t n) { return count(n) + " clips saved from around the web."; }},
      {"followups", "Follow-ups lined up", data.followups, {25, 100},
       [&](int64_t n) { return count(n) + " follow-ups lined up."; }},
      {"documents", "Shipped", data.documents, {10, 50, 200},
       [&](int64_t n) { return count(n) + " documents made from your notes."; }},
      {"builds", "Shipped", data.builds, {5, 25, 100},
       [&](int64_t n) { return count(n) + " Corvane AI runs from your notes."; }},
      {"focusKept", "Tray helped you focus", data.summons, {100, 500, 1000, 5000},
       [&](int64_t n) { return "Tray helped you focus — you brought it up " + count(n) + " times."; }},
      {"timeSaved", "Time saved", timeSavedSeconds(data.focusSessions), {1395, 6975, 13950, 34875},
       [](int64_t s) { return formatDuration(s) + " of focus time protected."; }},
      {"activeDays", "Showed up", data.activeDays, {7, 30, 100, 365},
       [&](int64_t n) { return "You've shown up " + count(n) + " days."; }},
  };

  std::set<std::string> celebrated(data.celebrated.begin(), data.celebrated.end());
  std::vector<std::string> payloads;
  for (const auto& row : table) {
    int64_t highest = -1;
    for (int64_t t : row.thresholds) {
      if (row.value < t) break;
      std::string key = row.metric + ":" + std::to_string(t);
      if (!celebrated.insert(key).second) continue;
      data.celebrated.push_back(std::move(key));
      highest = t;
    }
    if (highest < 0) continue;
    payloads.push_back("{\"pillar\":" + jsonStringLiteral(row.pillar) + ",\"metric\":" + jsonStringLiteral(row.metric) +
                       ",\"value\":" + std::to_string(row.value) + ",\"threshold\":" + std::to_string(highest) +
                       ",\"message\":" + jsonStringLiteral(row.msg(row.value)) + "}");
  }
  return payloads;
}

void Stats::post(std::function<void(StatsData&)> change) {
  try {
    queue_->post([this, change = std::move(change)] {
      try {
        change(load());
      } catch (...) {
        // Counting never takes the queue down; this one change is lost.
      }
    });
  } catch (...) {
  }
}

void Stats::record(int64_t thoughts, int64_t words, int64_t clips, int64_t followups, int64_t documents,
                   int64_t builds, int64_t summons, int64_t focusSessions) {
  record(DailyStats{thoughts, words, clips, followups, documents, builds, summons, focusSessions});
}

void Stats::record(const DailyStats& deltas) {
  post([this, deltas](StatsData& data) {
    data.thoughts = addCounter(data.thoughts, deltas.thoughts);
    data.words = addCounter(data.words, deltas.words);
    data.clips = addCounter(data.clips, deltas.clips);
    data.followups = addCounter(data.followups, deltas.followups);
    data.documents = addCounter(data.documents, deltas.documents);
    data.builds = addCounter(data.builds, deltas.builds);
    data.summons = addCounter(data.summons, deltas.summons);
    data.focusSessions = addCounter(data.focusSessions, deltas.focusSessions);

    const std::string today = dayKey(clock_->now());
    if (data.lastActiveDay != today) {
      data.lastActiveDay = today;
      data.activeDays = addCounter(data.activeDays, 1);
    }
    addDaily(data.history[today], deltas);
    prune(data);
    auto payloads = checkMilestones(data);
    // An announced milestone is on disk before the page hears of it, so it is
    // never announced twice; plain counting coalesces its writes.
    if (payloads.empty()) scheduleSave();
    else save();
    for (const auto& payload : payloads) bridge::emitEvent("stat:milestone", payload);
  });
}

void Stats::recordDestination(std::string id, std::string name) {
  if (id.empty()) return;
  post([this, id = std::move(id), name = std::move(name)](StatsData& data) {
    auto& count = data.destHistory[dayKey(clock_->now())][id];
    count = addCounter(count, 1);
    if (!name.empty()) data.destNames[id] = name;
    prune(data);
    scheduleSave();
  });
}

StatsData Stats::snapshot() {
  StatsData copy;
  queue_->runSync([&] {
    try {
      copy = load();
    } catch (...) {
    }
  });
  return copy;
}

std::vector<Stats::Destination> Stats::topDestinations(int limit) {
  StatsData data = snapshot();
  const auto window = daySet(clock_->now(), kDestinationWindowDays);
  struct Use {
    int64_t total = 0;
    std::string_view lastDay;
  };
  std::map<std::string_view, Use> uses;
  for (const auto& [day, counts] : data.destHistory) {
    if (!window.count(day)) continue;
    for (const auto& [id, count] : counts) {
      Use& use = uses[id];
      use.total = addCounter(use.total, count);
      if (day > use.lastDay) use.lastDay = day;
    }
  }
  std::vector<std::pair<std::string_view, Use>> ranked(uses.begin(), uses.end());
  // Highest total first, then the later last use; the id only makes the rest stable.
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    if (a.second.total != b.second.total) return a.second.total > b.second.total;
    if (a.second.lastDay != b.second.lastDay) return a.second.lastDay > b.second.lastDay;
    return a.first < b.first;
  });
  std::vector<Destination> out;
  const size_t n = std::min(ranked.size(), static_cast<size_t>(std::max(limit, 0)));
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    std::string id(ranked[i].first);
    auto name = data.destNames.find(id);
    out.push_back({id, name == data.destNames.end() ? std::string() : name->second, ranked[i].second.total});
  }
  return out;
}

Stats::Totals Stats::totals() { return totalsOf(snapshot()); }

std::string Stats::totalsJSON() {
  Totals t = totals();
  return fmt::format(
      "{{\"thoughts\":{},\"words\":{},\"clips\":{},\"followups\":{},\"documents\":{},\"builds\":{},"
      "\"summons\":{},\"focusSessions\":{},\"activeDays\":{},\"timeSavedSeconds\":{},\"focusKept\":{}}}",
      t.thoughts, t.words, t.clips, t.followups, t.documents, t.builds, t.summons, t.focusSessions, t.activeDays,
      t.timeSavedSeconds, t.focusKept);
}

Stats::InsightsView Stats::insights() {
  StatsData data = snapshot();
  InsightsView view;
  view.totals = totalsOf(data);
  if (data.history.empty()) return view;
  const std::string& first = data.history.begin()->first;
  for (auto& key : lastDays(clock_->now(), kHistoryDays)) {
    if (key < first) continue;
    auto it = data.history.find(key);
    view.days.push_back({std::move(key), it == data.history.end() ? DailyStats{} : it->second});
  }
  return view;
}

std::string Stats::insightsJSON() {
  try {
    InsightsView view = insights();
    Json days = Json::array();
    for (const auto& day : view.days) {
      Json entry = Json::object();
      entry["date"] = day.date;
      for (const auto& f : kDailyFields) entry[f.key] = day.counters.*f.field;
      days.push_back(std::move(entry));
    }
    Json out = Json::object();
    out["totals"] = encodeTotals(view.totals);
    out["days"] = std::move(days);
    return dumpCompact(out);
  } catch (...) {
    return "null";
  }
}

bool Stats::mergeRemote(std::string_view bytes) {
  auto parsed = parseJson(bytes);
  if (!parsed || !parsed->is_object()) return false;
  const Json empty = Json::object();
  const Json* totals = member(*parsed, "totals");
  if (!totals || !totals->is_object()) totals = &empty;
  // Each day object stands on its own: a stray non-object entry is skipped.
  std::vector<const Json*> days;
  if (const Json* d = member(*parsed, "days"); d && d->is_array()) {
    for (const auto& day : *d)
      if (day.is_object()) days.push_back(&day);
  }

  bool changed = false;
  queue_->runSync([&] {
    try {
      StatsData& data = load();
      for (const auto& f : kTotalFields) {
        int64_t remote = readRemoteCounter(*totals, f.key);
        if (data.*f.field < remote) {
          data.*f.field = remote;
          changed = true;
        }
      }
      // Days outside the kept window would be pruned straight away; taking
      // them would only report a change that does not stick.
      const auto window = daySet(clock_->now(), kHistoryDays);
      for (const Json* day : days) {
        const Json* date = member(*day, "date");
        if (!date || !date->is_string()) continue;
        const std::string key = date->get<std::string>();
        if (!window.count(key) || data.history.count(key)) continue;
        DailyStats counters = readDaily(*day, true);
        if (counters == DailyStats{}) continue;
        data.history[key] = counters;
        changed = true;
      }
      if (changed) {
        prune(data);
        save();
      }
    } catch (...) {
    }
  });
  return changed;
}

}  // namespace corvane::insights
