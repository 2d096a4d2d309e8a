// The program's compiled resources (.res as windres writes it): the entry
// table, extended dialog templates, string tables, icons and bitmaps.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "simwin/kernel.h"
#include "ui_internal.h"

namespace sim {
namespace {

constexpr WORD kRtBitmap = 2;
constexpr WORD kRtString = 6;
constexpr WORD kRtGroupIcon = 14;
constexpr std::uintptr_t kSystemIconBase = 0x50110;  // beside the system's cursors

// Bounds-checked little-endian reader; any overrun sets `failed`.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

  bool failed() const { return failed_; }
  std::size_t pos() const { return pos_; }
  std::size_t size() const { return data_.size(); }
  void Seek(std::size_t pos) {
    if (pos > data_.size()) {
      failed_ = true;
      pos_ = data_.size();
    } else {
      pos_ = pos;
    }
  }
  void AlignTo4() { Seek((pos_ + 3) & ~std::size_t{3}); }

  std::uint32_t U(std::size_t bytes) {
    if (failed_ || data_.size() - pos_ < bytes) {
      failed_ = true;
      return 0;
    }
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= std::uint32_t{data_[pos_ + i]} << (8 * i);
    pos_ += bytes;
    return v;
  }
  WORD W() { return static_cast<WORD>(U(2)); }
  DWORD D() { return U(4); }
  short S() { return static_cast<short>(W()); }

  std::u16string String() {  // NUL-terminated UTF-16
    std::u16string s;
    for (;;) {
      WORD c = W();
      if (failed_ || c == 0) return s;
      s.push_back(static_cast<char16_t>(c));
    }
  }
  SzOrOrd SzOrOrdField() {
    SzOrOrd f;
    WORD first = W();
    if (failed_ || first == 0x0000) return f;
    f.present = true;
    if (first == 0xFFFF) {
      f.isOrdinal = true;
      f.ordinal = W();
      return f;
    }
    f.text.push_back(static_cast<char16_t>(first));
    f.text += String();
    return f;
  }
  ResName Name() {  // type or name field of a .res entry header
    WORD first = W();
    if (first == 0xFFFF) return W();
    std::u16string s;
    if (first != 0) {
      s.push_back(static_cast<char16_t>(first));
      s += String();
    }
    return s;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

std::u16string Upper(std::u16string s) {
  for (auto& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return s;
}

ResName Normalise(ResName n) {
  if (auto* s = std::get_if<std::u16string>(&n)) return Upper(*s);
  return n;
}

std::optional<ResName> FromDigits(std::u16string s) {
  if (s.size() > 1 && s[0] == u'#') {
    unsigned long v = 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
      if (s[i] < u'0' || s[i] > u'9') return std::nullopt;
      v = v * 10 + static_cast<unsigned long>(s[i] - u'0');
      if (v > 0xFFFF) return std::nullopt;
    }
    return static_cast<WORD>(v);
  }
  if (s.empty()) return std::nullopt;
  return Upper(std::move(s));
}

}  // namespace

std::string Narrow(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  return out;
}

std::optional<ResName> ResNameFromA(LPCSTR name) {
  if (IS_INTRESOURCE(name)) {
    WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    if (id == 0) return std::nullopt;
    return id;
  }
  std::u16string s;
  for (const char* p = name; *p != '\0'; ++p) s.push_back(static_cast<unsigned char>(*p));
  return FromDigits(std::move(s));
}

std::optional<ResName> ResNameFromW(LPCWSTR name) {
  if (IS_INTRESOURCE(name)) {
    WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    if (id == 0) return std::nullopt;
    return id;
  }
  return FromDigits(std::u16string(name));
}

bool ResourceTable::Load(std::span<const std::uint8_t> res, std::string* error) {
  entries_.clear();
  decltype(entries_) entries;
  auto fail = [&](std::size_t at, const char* what) {
    if (error != nullptr)
      *error = "resources: " + std::string(what) + " at offset " + std::to_string(at);
    return false;
  };
  Reader r(res);
  std::size_t entryStart = 0;
  while (entryStart < res.size()) {
    r.Seek(entryStart);
    DWORD dataSize = r.D();
    DWORD headerSize = r.D();
    if (r.failed()) return fail(entryStart, "truncated entry header");
    if (headerSize < 16 || headerSize > res.size() - entryStart ||
        dataSize > res.size() - entryStart - headerSize) {
      return fail(entryStart, "entry sizes out of bounds");
    }
    Reader h(res.subspan(entryStart, headerSize));
    h.Seek(8);
    ResName type = h.Name();
    ResName name = h.Name();
    h.AlignTo4();
    h.D();  // DataVersion
    h.W();  // MemoryFlags
    h.W();  // LanguageId
    h.D();  // Version
    h.D();  // Characteristics
    if (h.failed()) return fail(entryStart, "malformed entry header");
    auto data = res.subspan(entryStart + headerSize, dataSize);
    bool emptyMarker =
        dataSize == 0 && std::holds_alternative<WORD>(type) && std::get<WORD>(type) == 0;
    if (!emptyMarker) {
      // The first entry of a language wins; the program has one language.
      entries.emplace(std::make_pair(Normalise(type), Normalise(name)),
                      std::vector<std::uint8_t>(data.begin(), data.end()));
    }
    std::size_t next = entryStart + headerSize + dataSize;
    next = (next + 3) & ~std::size_t{3};
    entryStart = next;
  }
  entries_ = std::move(entries);
  return true;
}

const std::vector<std::uint8_t>* ResourceTable::Find(WORD type, const ResName& name) const {
  auto it = entries_.find({ResName(type), Normalise(name)});
  return it == entries_.end() ? nullptr : &it->second;
}

std::optional<DialogTemplate> ParseDialogTemplate(std::span<const std::uint8_t> data,
                                                  std::string* error) {
  auto fail = [&](const std::string& what) -> std::optional<DialogTemplate> {
    if (error != nullptr) *error = "dialog template: " + what;
    return std::nullopt;
  };
  Reader r(data);
  DialogTemplate t;
  WORD version = r.W();
  WORD signature = r.W();
  if (r.failed() || version != 1 || signature != 0xFFFF) {
    return fail("not an extended template");
  }
  t.helpId = r.D();
  t.exStyle = r.D();
  t.style = r.D();
  WORD count = r.W();
  t.x = r.S();
  t.y = r.S();
  t.cx = r.S();
  t.cy = r.S();
  t.menu = r.SzOrOrdField();
  t.windowClass = r.SzOrOrdField();
  t.title = r.String();
  if (t.style & DS_SETFONT) {
    t.pointSize = r.W();
    r.W();   // weight
    r.U(1);  // italic
    r.U(1);  // charset
    t.typeface = r.String();
  }
  if (r.failed()) return fail("truncated header");
  for (WORD i = 0; i < count; ++i) {
    r.AlignTo4();
    DialogItemTemplate item;
    item.helpId = r.D();
    item.exStyle = r.D();
    item.style = r.D();
    item.x = r.S();
    item.y = r.S();
    item.cx = r.S();
    item.cy = r.S();
    item.id = static_cast<int>(r.D());
    item.windowClass = r.SzOrOrdField();
    item.title = r.SzOrOrdField();
    WORD extra = r.W();
    r.Seek(r.pos() + extra);
    if (r.failed()) return fail("truncated item " + std::to_string(i));
    t.items.push_back(std::move(item));
  }
  return t;
}

bool ProgramModule(HINSTANCE instance, bool nullIsExecutable) {
  return instance == kModuleInstance || (instance == nullptr && nullIsExecutable);
}

HICON IconForResource(const ResName& name) {
  UiState& ui = Ui();
  if (ui.resources.Find(kRtGroupIcon, name) == nullptr) return nullptr;
  // Icons from resources are identified by ordinal; the handle is stable per id.
  int id = std::holds_alternative<WORD>(name) ? std::get<WORD>(name) : 0;
  for (const auto& [icon, iconId] : ui.iconIds) {
    if (iconId == id) return icon;
  }
  HICON icon = reinterpret_cast<HICON>(static_cast<std::uintptr_t>(0x40000 + id * 4 + 4));
  ui.iconIds[icon] = id;
  return icon;
}

HICON SystemIcon(const ResName& name) {
  // IDI_APPLICATION (32512) to IDI_SHIELD (32518).
  constexpr WORD kFirst = 32512;
  constexpr WORD kLast = 32518;
  if (!std::holds_alternative<WORD>(name)) return nullptr;
  const WORD id = std::get<WORD>(name);
  if (id < kFirst || id > kLast) return nullptr;
  return reinterpret_cast<HICON>(kSystemIconBase + (id - kFirst) * 0x10);
}

std::optional<std::pair<int, int>> BitmapSize(const ResName& name) {
  const auto* data = Ui().resources.Find(kRtBitmap, name);
  if (data == nullptr) return std::nullopt;
  Reader r(*data);
  DWORD headerSize = r.D();
  int width = 0, height = 0;
  if (headerSize == 12) {  // BITMAPCOREHEADER
    width = r.W();
    height = r.W();
  } else {
    width = static_cast<std::int32_t>(r.D());
    height = static_cast<std::int32_t>(r.D());
  }
  if (r.failed() || width <= 0 || height == 0 || height == INT32_MIN) return std::nullopt;
  return std::make_pair(width, height < 0 ? -height : height);
}

}  // namespace sim

using namespace sim;

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
  const sim::ApiCall apiCall;
  if (buffer == nullptr || bufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  buffer[0] = '\0';
  UiState& ui = Ui();
  if (!ProgramModule(instance, true)) {
    SetLastError(kErrorResourceDataNotFound);
    return 0;
  }
  auto missing = [] {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  };
  if (ui.hiddenStrings.count(id) != 0 || id > 0xFFFF) return missing();
  const auto* block = ui.resources.Find(kRtString, ResName(static_cast<WORD>(id / 16 + 1)));
  if (block == nullptr) return missing();
  Reader r(*block);
  std::u16string text;
  for (UINT i = 0; i <= id % 16; ++i) {
    WORD length = r.W();
    text.clear();
    for (WORD k = 0; k < length; ++k) text.push_back(static_cast<char16_t>(r.W()));
    if (r.failed()) return missing();
  }
  if (text.empty()) return missing();
  std::string narrow = Narrow(text);
  std::size_t n = std::min<std::size_t>(narrow.size(), static_cast<std::size_t>(bufferMax - 1));
  std::memcpy(buffer, narrow.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  auto resName = name == nullptr ? std::nullopt : ResNameFromW(name);
  std::string what = !resName ? "?"
                     : std::holds_alternative<WORD>(*resName)
                         ? std::to_string(std::get<WORD>(*resName))
                         : Narrow(std::get<std::u16string>(*resName));
  HICON icon = nullptr;
  DWORD error = ERROR_RESOURCE_NAME_NOT_FOUND;
  if (instance == nullptr) {
    // No module: only the icons the system itself provides.
    if (resName) icon = SystemIcon(*resName);
    what += " system";
  } else if (ProgramModule(instance, false)) {
    if (resName) icon = IconForResource(*resName);
  } else {
    error = kErrorResourceDataNotFound;
    what += " from " + Hex(reinterpret_cast<std::uintptr_t>(instance));
  }
  ui.Record("LoadIconW", what + (icon ? "" : " missing"));
  if (icon == nullptr) SetLastError(error);
  return icon;
}
