// make-sample-client: writes a synthetic game client's table files, DIR/dbc/
// <File>.dbc for every catalogue table and the three rating sources, so that
// the converter can be demonstrated, tested and benchmarked without a real
// client. The output depends only on the seed and the options.
//
// The data is chosen to exercise the converter: unsigned values of 2^31 and
// above, negative signed values, floats that round at six decimals, a
// different text in every language slot (Cyrillic and CJK among them), texts
// with quotes, backslashes, line breaks, carriage returns and Control-Z,
// texts over 2,000 bytes, path strings of every shape, and a string block
// that starts with the empty string.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalogue/catalogue.h"
#include "dbc_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: make-sample-client DIR [--seed N] [--full]\n"
    "                          [--duplicate-key FILE] [--emoji FILE] [--records N]\n"
    "                          [--rows FILE:N] [--slot FILE:N]...\n"
    "  --full               client-sized tables, for benchmarks\n"
    "  --duplicate-key FILE[:ROW]\n"
    "                       give record ROW (default: the middle one) of FILE the\n"
    "                       primary key of the record before it\n"
    "  --emoji FILE[:ROW]   put a 4-byte UTF-8 character into a text of record ROW\n"
    "                       (default: the middle one) of FILE\n"
    "  --records N          N records in every client table (not the rating sources)\n"
    "  --rows FILE:N        N records in FILE (for example Spell:1000000)\n"
    "  --slot FILE:N        FILE's localized texts in slot N only, as in a client\n"
    "                       of one language edition\n";

// splitmix64: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }

 private:
  std::uint64_t state_;
};

struct Settings {
  std::string dir;
  std::uint64_t seed = 1;
  bool full = false;
  std::string duplicate_key;
  std::string emoji;
  long records = -1;      // -1: the table's own size
  std::string rows_file;  // --rows: this file gets rows_count records
  long rows_count = -1;
  long duplicate_row = -1;
  long emoji_row = -1;
  std::map<std::string, std::uint32_t> only_slot;  // --slot: FILE's texts in one slot
};

// "dbc\Spell.dbc" -> "Spell"
std::string Stem(const char* path) {
  std::string s(path);
  s = s.substr(s.find('\\') + 1);
  return s.substr(0, s.rfind('.'));
}

struct SizeRule {
  const char* stem;
  std::uint32_t small;
  std::uint32_t full;
};

// Record counts of the tables whose size matters; every other table gets a
// count derived from its name.
constexpr SizeRule kSizes[] = {
    {"Spell", 1000, 48000},
    {"ItemDisplayInfo", 50, 60000},
    {"Achievement_Criteria", 40, 8000},
    {"SkillLineAbility", 30, 10000},
    {"SpellCastTimes", 10, 120},
    {"SpellFocusObject", 0, 0},
    {"Languages", 1, 36},
    {"FactionTemplate", 12, 2000},
    {"SpellIcon", 20, 5000},
    {"Achievement", 25, 2000},
    {"Talent", 50, 900},
};

std::uint32_t RecordCount(const std::string& stem, bool full) {
  for (const SizeRule& rule : kSizes)
    if (stem == rule.stem) return full ? rule.full : rule.small;
  std::uint32_t h = 0;
  for (char c : stem) h = h * 31 + static_cast<unsigned char>(c);
  return full ? 200 + h % 2800 : 2 + h % 19;
}

// A word in the language of each slot.
const char* const kLocaleWords[kLocaleCount] = {
    "Fireball", "Fireball", "Feuerball",     "Bola de fuego", "Boule de feu", "화염구",
    "火球术",   "火球術",   "Fireball (CN)", "Fireball (TW)", "Bola ígnea",   "Огненный шар"};

// Texts that stress escaping and quoting.
const char* const kAwkward[] = {
    "It's a \"quoted\" name", "back\\slash and \\\\ double",
    "line one\nline two",     "carriage\rreturn",
    "control\x1Az",           "mixed ' \" \\ \n \r \x1A end",
    "trailing blank ",        "percent %s %d %% signs",
    "`backtick` text",
};

const char* const kPaths[] = {
    "Interface\\Icons\\Spell_Fire_Fireball",
    "Interface\\Icons\\INV_Misc_QuestionMark",
    "NoBackslashIcon",
    "",
    "Interface\\Icons\\",
    "a\\b\\c\\d\\e\\Deep_Icon",
    "\\LeadingSlash",
};

std::string LongText(Random& rng, std::size_t length) {
  static const char* const kWords[] = {"deals", "fire",  "damage", "to",       "an",   "enemy",
                                       "and",   "Огонь", "火",     "'quoted'", "over", "time"};
  std::string text;
  while (text.size() < length) {
    text += kWords[rng.Below(12)];
    text += ' ';
  }
  return text;
}

class TableWriter {
 public:
  TableWriter(const Settings& settings, const TableDescriptor& table, std::uint32_t records)
      : settings_(settings),
        table_(table),
        records_(records),
        fields_(ExpectedFieldCount(table)),
        rng_(settings.seed * 1000003u + std::hash<std::string>{}(Stem(table.file_path)) % 1000003u),
        file_(fields_) {}

  bool Write() {
    const std::string stem = Stem(table_.file_path);
    file_.words.assign(std::size_t{records_} * fields_, 0);
    file_.record_count = records_;
    for (std::uint32_t r = 0; r < records_; ++r) FillRecord(r);
    if (stem == settings_.duplicate_key && records_ >= 2) DuplicateKey();

    const std::string path = settings_.dir + "/dbc/" + stem + ".dbc";
    if (file_.WriteTo(path)) return true;
    std::fprintf(stderr, "make-sample-client: %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }

 private:
  std::uint32_t* Field(std::uint32_t record, std::uint32_t field) {
    return &file_.words[std::size_t{record} * fields_ + field];
  }

  void FillRecord(std::uint32_t r) {
    std::uint32_t field = 0;
    unsigned key_index = 0;
    for (std::uint32_t c = 0; c < table_.column_count; ++c) {
      const ColumnDescriptor& column = table_.columns[c];
      std::uint32_t* out = Field(r, field);
      if (column.key == Key::kPrimary) {
        // Unique per record: the first key column counts up with gaps.
        *out = key_index++ == 0 ? r * 3 + 1 : r % 7 + 1;
      } else {
        FillValue(column, r, c, out);
      }
      field += FieldWidth(column.type);
    }
  }

  void FillValue(const ColumnDescriptor& column, std::uint32_t r, std::uint32_t c,
                 std::uint32_t* out) {
    switch (column.type) {
      case 'u': {
        if (settings_.full && ClientLikeSmall(out)) break;
        static const std::uint32_t kEdges[] = {0,           1,           0x7FFFFFFFu,
                                               0x80000000u, 0xFFFFFFFFu, 4000000000u};
        const std::uint32_t pick = rng_.Below(8);
        *out = pick < 6 ? kEdges[pick] : rng_.Below(100000);
        if (rng_.Below(2)) *out = static_cast<std::uint32_t>(rng_.Next());
        break;
      }
      case 'i': {
        if (settings_.full && ClientLikeSmall(out)) break;
        static const std::int32_t kEdges[] = {0, -1, 1, INT32_MIN, INT32_MAX, -250000};
        const std::uint32_t pick = rng_.Below(8);
        const std::int32_t v =
            pick < 6 ? kEdges[pick] : static_cast<std::int32_t>(rng_.Below(2000)) - 1000;
        *out = static_cast<std::uint32_t>(v);
        break;
      }
      case 'f': {
        static const float kEdges[] = {0.1f,    1.0000005f, 2.5e-7f, 123456.789f, -0.0f,
                                       1.0e10f, -3.75f,     0.5f,    1.9999999f,  7.0e-6f};
        const float v = rng_.Below(3) ? kEdges[rng_.Below(10)]
                                      : static_cast<float>(rng_.Below(2000000)) / 1024.0f - 500.0f;
        std::memcpy(out, &v, 4);
        break;
      }
      case 't': *out = AddText(Text(r, c, 0)); break;
      case 'k': *out = AddText(kPaths[(r + c) % std::size(kPaths)]); break;
      case 's':
        for (std::uint32_t slot = 0; slot < kLocaleCount; ++slot)
          out[slot] =
              settings_.full && slot != 0 ? PooledText(r, c, slot) : AddText(Text(r, c, slot));
        out[16] = 0x00FF01CCu;  // the client's flags word, never exported
        break;
      default:  // 'x': something that must never show up in the output
        *out = 0xDEADBEEFu;
        break;
    }
  }

  // Client-sized tables look like the client's own: most fields are zero or
  // small; the edge values of the other branch still occur.
  bool ClientLikeSmall(std::uint32_t* out) {
    const std::uint32_t pick = rng_.Below(20);
    if (pick < 12)
      *out = 0;
    else if (pick < 17)
      *out = rng_.Below(1000);
    else if (pick < 18)
      *out = rng_.Below(100000);
    else
      return false;
    return true;
  }

  // Every empty text shares offset 0, the block's leading empty string.
  std::uint32_t AddText(const std::string& text) {
    return text.empty() ? 0 : file_.AddString(text);
  }

  std::string Text(std::uint32_t r, std::uint32_t c, std::uint32_t slot) {
    const std::string stem = Stem(table_.file_path);
    const std::uint32_t emoji_row =
        settings_.emoji_row >= 0 ? static_cast<std::uint32_t>(settings_.emoji_row) : records_ / 2;
    if (r == emoji_row && slot == 0 && stem == settings_.emoji && !emoji_done_) {
      emoji_done_ = true;
      return "emoji \xF0\x9F\x94\xA5 fire";
    }
    if (r % 17 == 5 && slot != 11) return "";  // empty texts exist too
    if (const auto only = settings_.only_slot.find(stem);
        only != settings_.only_slot.end() && only->second != slot)
      return "";
    std::string text = std::string("[") + kLocaleNames[slot] + "] " + kLocaleWords[slot] + " " +
                       std::to_string(r) + "." + std::to_string(c);
    if (r % 5 == 1) {
      text += ' ';
      text += kAwkward[(r / 5 + c + slot) % std::size(kAwkward)];
    }
    if (r % 97 == 3) {
      text += ' ';
      text += LongText(rng_, 2100);
    } else if (settings_.full && rng_.Below(2)) {
      text += ' ';
      text += LongText(rng_, 40 + rng_.Below(160));
    }
    return text;
  }

  // Client-sized tables: the other language slots share a pool of texts, as
  // the client's own files share repeated strings.
  std::uint32_t PooledText(std::uint32_t r, std::uint32_t c, std::uint32_t slot) {
    const std::uint32_t key = slot * 100000 + c * 100 + r % 64;
    auto [it, added] = pooled_.try_emplace(key, 0);
    if (added)
      it->second = AddText(std::string("[") + kLocaleNames[slot] + "] " + kLocaleWords[slot] +
                           " #" + std::to_string(r % 64));
    return it->second;
  }

  void DuplicateKey() {
    std::uint32_t copy_to = settings_.duplicate_row >= 1
                                ? static_cast<std::uint32_t>(settings_.duplicate_row)
                                : records_ / 2;
    if (copy_to >= records_) copy_to = records_ - 1;
    const std::uint32_t copy_from = copy_to - 1;
    std::uint32_t field = 0;
    for (std::uint32_t c = 0; c < table_.column_count; ++c) {
      if (table_.columns[c].key == Key::kPrimary) *Field(copy_to, field) = *Field(copy_from, field);
      field += FieldWidth(table_.columns[c].type);
    }
  }

  const Settings& settings_;
  const TableDescriptor& table_;
  std::uint32_t records_;
  std::uint32_t fields_;
  Random rng_;
  DbcWriter file_;
  bool emoji_done_ = false;
  std::unordered_map<std::uint32_t, std::uint32_t> pooled_;
};

bool WriteRatingSource(const Settings& settings, const TableDescriptor& table,
                       std::uint32_t records) {
  DbcWriter file(1);
  file.strings.clear();  // no string block
  for (std::uint32_t n = 0; n < records; ++n) {
    // Class (or rating kind) n / 100 at level n % 100.
    const float v = static_cast<float>(n / 100 + 1) * 0.0125f / static_cast<float>(n % 100 + 1);
    std::uint32_t w;
    std::memcpy(&w, &v, 4);
    file.Record({w});
  }
  return file.WriteTo(settings.dir + "/dbc/" + Stem(table.file_path) + ".dbc");
}

bool ParseArgs(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--full")
      s->full = true;
    else if (arg == "--seed" && has_value)
      s->seed = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "--duplicate-key" && has_value) {
      s->duplicate_key = argv[++i];
      const std::size_t colon = s->duplicate_key.find(':');
      if (colon != std::string::npos) {
        s->duplicate_row = std::strtol(s->duplicate_key.c_str() + colon + 1, nullptr, 10);
        s->duplicate_key.resize(colon);
      }
    } else if (arg == "--emoji" && has_value) {
      s->emoji = argv[++i];
      const std::size_t colon = s->emoji.find(':');
      if (colon != std::string::npos) {
        s->emoji_row = std::strtol(s->emoji.c_str() + colon + 1, nullptr, 10);
        s->emoji.resize(colon);
      }
    } else if (arg == "--rows" && has_value) {
      const std::string value = argv[++i];
      const std::size_t colon = value.find(':');
      if (colon == std::string::npos) return false;
      s->rows_file = value.substr(0, colon);
      s->rows_count = std::strtol(value.c_str() + colon + 1, nullptr, 10);
    } else if (arg == "--slot" && has_value) {
      const std::string value = argv[++i];
      const std::size_t colon = value.find(':');
      if (colon == std::string::npos) return false;
      s->only_slot[value.substr(0, colon)] =
          static_cast<std::uint32_t>(std::strtoul(value.c_str() + colon + 1, nullptr, 10));
    } else if (arg == "--records" && has_value)
      s->records = std::strtol(argv[++i], nullptr, 10);
    else if (s->dir.empty() && arg[0] != '-')
      s->dir = arg;
    else
      return false;
  }
  return !s->dir.empty();
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  Settings settings;
  if (!ParseArgs(argc, argv, &settings)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(settings.dir + "/dbc", ec);
  if (ec) {
    std::fprintf(stderr, "make-sample-client: %s/dbc: %s\n", settings.dir.c_str(),
                 ec.message().c_str());
    return 1;
  }
  for (const TableDescriptor* client_table : ClientTables()) {
    const TableDescriptor& table = *client_table;
    std::uint32_t records = settings.records >= 0
                                ? static_cast<std::uint32_t>(settings.records)
                                : RecordCount(Stem(table.file_path), settings.full);
    if (Stem(table.file_path) == settings.rows_file && settings.rows_count >= 0)
      records = static_cast<std::uint32_t>(settings.rows_count);
    TableWriter writer(settings, table, records);
    if (!writer.Write()) return 1;
  }
  for (const RatingSource& source : RatingSources()) {
    if (!WriteRatingSource(settings, *source.file, source.Values())) {
      std::fprintf(stderr, "make-sample-client: cannot write the rating sources\n");
      return 1;
    }
  }
  return 0;
}
