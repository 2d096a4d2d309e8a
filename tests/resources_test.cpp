// The compiled resources the program loads, read byte by byte: the two dialog
// templates, the icon, the three pictures, the string, the manifest and the
// version block must be exactly what the user is meant to see. The bytes are
// read here with a reader of the test's own, not the simulated Windows' parser,
// so that a fault in that parser cannot hide a fault in the resources.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "res/program_resources.h"
#include "res/resource.h"

namespace {

// "#<n>", the name of a resource or field given by number. (Built by appending:
// g++ 12 at -O3 warns wrongly about "#" + std::to_string(n).)
std::string Ordinal(int n) { return std::string("#").append(std::to_string(n)); }

constexpr WORD kRtBitmap = 2;
constexpr WORD kRtIcon = 3;
constexpr WORD kRtDialog = 5;
constexpr WORD kRtString = 6;
constexpr WORD kRtGroupIcon = 14;
constexpr WORD kRtVersion = 16;
constexpr WORD kRtManifest = 24;

// ---- reading the .res ----------------------------------------------------------------

// Little-endian reads; running past the end throws, which fails the test.
class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> data) : data_(data) {}

  std::size_t Pos() const { return pos_; }
  std::size_t Size() const { return data_.size(); }
  void Seek(std::size_t pos) {
    if (pos > data_.size()) throw std::out_of_range("resource data ends early");
    pos_ = pos;
  }
  void Align4() { Seek((pos_ + 3) & ~std::size_t{3}); }
  std::uint32_t U(std::size_t n) {
    if (data_.size() - pos_ < n) throw std::out_of_range("resource data ends early");
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t{data_[pos_ + i]} << (8 * i);
    pos_ += n;
    return v;
  }
  WORD W() { return static_cast<WORD>(U(2)); }
  DWORD D() { return U(4); }
  short S() { return static_cast<short>(W()); }
  // A NUL-terminated UTF-16 string; the program's texts are ASCII.
  std::string Sz() {
    std::string s;
    for (WORD c = W(); c != 0; c = W()) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return s;
  }
  // A name or ordinal field: "" for none, "#<n>" for an ordinal, else the text.
  std::string SzOrOrd() {
    const WORD first = W();
    if (first == 0) return "";
    if (first == 0xFFFF) return Ordinal(W());
    Seek(pos_ - 2);
    return Sz();
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

using Key = std::pair<std::string, std::string>;  // type, name ("#5", "#102")

std::map<Key, std::vector<std::uint8_t>> ReadResources(std::span<const std::uint8_t> res) {
  std::map<Key, std::vector<std::uint8_t>> entries;
  Bytes r(res);
  while (r.Pos() < r.Size()) {
    const std::size_t start = r.Pos();
    const DWORD dataSize = r.D();
    const DWORD headerSize = r.D();
    Key key;
    key.first = r.SzOrOrd();
    key.second = r.SzOrOrd();
    r.Seek(start + headerSize + dataSize);  // both sizes within the file
    if (dataSize != 0) {                    // the leading empty entry marks the file type
      auto data = res.subspan(start + headerSize, dataSize);
      const bool added = entries.emplace(key, std::vector(data.begin(), data.end())).second;
      EXPECT_TRUE(added) << "resource " << key.first << " " << key.second << " twice";
    }
    r.Align4();
  }
  return entries;
}

const std::map<Key, std::vector<std::uint8_t>>& Resources() {
  static const auto resources = ReadResources(ProgramResources());
  return resources;
}

std::span<const std::uint8_t> Find(WORD type, int id) {
  const auto it = Resources().find({Ordinal(type), Ordinal(id)});
  if (it == Resources().end()) throw std::out_of_range("no resource " + Ordinal(id));
  return it->second;
}

// The names of every resource of a type.
std::vector<std::string> NamesOf(WORD type) {
  std::vector<std::string> names;
  for (const auto& [key, data] : Resources()) {
    if (key.first == Ordinal(type)) names.push_back(key.second);
  }
  return names;
}

// ---- dialog templates ------------------------------------------------------------------

struct Control {
  int id;
  std::string windowClass;  // predefined classes by name
  std::string text;         // "#<n>": the picture with that resource id
  short x, y, cx, cy;
  DWORD style;  // besides WS_CHILD and WS_VISIBLE, which every control has
};

struct Dialog {
  int id;
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
  std::string title;
  WORD pointSize;
  std::string typeface;
  WORD weight;
  BYTE italic;
  BYTE charset;
  std::vector<Control> controls;
};

struct ParsedControl {
  DWORD helpId, exStyle;
  Control control;
};

struct ParsedDialog {
  DWORD helpId;
  std::string menu, windowClass;
  Dialog dialog;
  std::vector<ParsedControl> controls;
};

// The predefined classes a template may name by atom.
std::string ClassName(const std::string& field) {
  static const std::map<std::string, std::string> atoms = {
      {"#128", "button"},  {"#129", "edit"},      {"#130", "static"},
      {"#131", "listbox"}, {"#132", "scrollbar"}, {"#133", "combobox"}};
  if (const auto it = atoms.find(field); it != atoms.end()) return it->second;
  std::string lower = field;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return lower;
}

ParsedDialog ReadDialog(std::span<const std::uint8_t> data) {
  Bytes r(data);
  EXPECT_EQ(r.W(), 1);       // extended template
  EXPECT_EQ(r.W(), 0xFFFF);  // its signature
  ParsedDialog p{};
  Dialog& d = p.dialog;
  p.helpId = r.D();
  d.exStyle = r.D();
  d.style = r.D();
  const WORD count = r.W();
  d.x = r.S();
  d.y = r.S();
  d.cx = r.S();
  d.cy = r.S();
  p.menu = r.SzOrOrd();
  p.windowClass = r.SzOrOrd();
  d.title = r.Sz();
  if (d.style & DS_SETFONT) {
    d.pointSize = r.W();
    d.weight = r.W();
    d.italic = static_cast<BYTE>(r.U(1));
    d.charset = static_cast<BYTE>(r.U(1));
    d.typeface = r.Sz();
  }
  for (WORD i = 0; i < count; ++i) {
    r.Align4();
    ParsedControl c{};
    c.helpId = r.D();
    c.exStyle = r.D();
    c.control.style = r.D();
    c.control.x = r.S();
    c.control.y = r.S();
    c.control.cx = r.S();
    c.control.cy = r.S();
    c.control.id = static_cast<int>(r.D());
    c.control.windowClass = ClassName(r.SzOrOrd());
    c.control.text = r.SzOrOrd();
    const WORD creationData = r.W();
    r.Seek(r.Pos() + creationData);
    p.controls.push_back(c);
  }
  return p;
}

// A text ending in '*' is a beginning: what follows is free wording.
void ExpectText(const std::string& actual, const std::string& expected) {
  if (!expected.ends_with('*')) {
    EXPECT_EQ(actual, expected);
    return;
  }
  const std::string start = expected.substr(0, expected.size() - 1);
  EXPECT_TRUE(actual.starts_with(start) && actual.size() > start.size()) << actual;
}

const Dialog kDialogs[] = {
    {IDD_UPDATEFIRMWARE_DIALOG,
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_SETFONT,
     WS_EX_APPWINDOW,
     0,
     0,
     430,
     400,
     "Brelt Kestrune Arcade Joystick Updater",
     8,
     "MS Sans Serif",
     0,
     0,
     1,
     {
         {1000, "button", "Update", 179, 259, 60, 22, BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED},
         {-1, "button", "Device Information:", 21, 10, 391, 93, BS_GROUPBOX},
         {-1, "button", "File Information:", 22, 115, 389, 61, BS_GROUPBOX},
         {-1, "static", "Device Version:", 43, 71, 61, 8, SS_LEFT | WS_GROUP},
         {1008, "edit", "", 119, 68, 257, 14,
          ES_CENTER | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_TABSTOP},
         {-1, "static", "File Version:", 39, 143, 55, 8, SS_LEFT | WS_GROUP},
         {1010, "edit", "", 101, 140, 205, 14,
          ES_CENTER | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_TABSTOP},
         {-1, "static", "Device:", 43, 35, 29, 8, SS_LEFT | WS_GROUP},
         {1014, "edit", "", 82, 32, 295, 14,
          ES_LEFT | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_TABSTOP},
         {-1, "button", "Update Progress", 23, 194, 387, 116, BS_GROUPBOX},
         {1017, "msctls_progress32", "", 70, 221, 289, 26, PBS_SMOOTH | WS_BORDER},
         {-1, "static", "Brelt Technology Development Co., Ltd", 116, 290, 201, 8,
          SS_LEFT | WS_GROUP},
         {-1, "static", "#129", 113, 325, 51, 68, SS_BITMAP},
         {-1, "static", "#130", 164, 341, 63, 50, SS_BITMAP},
         {-1, "static", "#131", 228, 324, 98, 68, SS_BITMAP},
     }},
    {IDD_ABOUTBOX,
     WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT,
     0,
     0,
     0,
     205,
     60,
     "About",
     8,
     "MS Sans Serif",
     0,
     0,
     0,
     {
         {-1, "static", "Brelt Kestrune Arcade Joystick *", 37, 16, 159, 26, SS_LEFT | WS_GROUP},
         {IDOK, "button", "OK", 141, 37, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP},
         {-1, "static", "#128", 11, 17, 20, 20, SS_ICON},
     }},
};

TEST(Resources, DialogTemplates) {
  EXPECT_EQ(NamesOf(kRtDialog),
            (std::vector<std::string>{Ordinal(IDD_ABOUTBOX), Ordinal(IDD_UPDATEFIRMWARE_DIALOG)}));
  for (const Dialog& want : kDialogs) {
    SCOPED_TRACE("dialog " + std::to_string(want.id));
    const ParsedDialog got = ReadDialog(Find(kRtDialog, want.id));
    const Dialog& d = got.dialog;
    EXPECT_EQ(got.helpId, 0u);
    EXPECT_EQ(got.menu, "");
    EXPECT_EQ(got.windowClass, "");
    EXPECT_EQ(d.style, want.style);
    EXPECT_EQ(d.exStyle, want.exStyle);
    EXPECT_EQ(std::vector({d.x, d.y, d.cx, d.cy}), std::vector({want.x, want.y, want.cx, want.cy}));
    EXPECT_EQ(d.title, want.title);
    EXPECT_EQ(d.pointSize, want.pointSize);
    EXPECT_EQ(d.typeface, want.typeface);
    EXPECT_EQ(d.weight, want.weight);
    EXPECT_EQ(d.italic, want.italic);
    EXPECT_EQ(d.charset, want.charset);
    ASSERT_EQ(got.controls.size(), want.controls.size());
    for (std::size_t i = 0; i < want.controls.size(); ++i) {
      SCOPED_TRACE("control " + std::to_string(i + 1));
      const Control& c = got.controls[i].control;
      const Control& w = want.controls[i];
      EXPECT_EQ(got.controls[i].helpId, 0u);
      EXPECT_EQ(got.controls[i].exStyle, 0u);
      EXPECT_EQ(c.id, w.id);
      EXPECT_EQ(c.windowClass, w.windowClass);
      ExpectText(c.text, w.text);
      EXPECT_EQ(std::vector({c.x, c.y, c.cx, c.cy}), std::vector({w.x, w.y, w.cx, w.cy}));
      EXPECT_EQ(c.style, WS_CHILD | WS_VISIBLE | w.style) << std::hex << c.style;
    }
  }
}

// ---- icon and pictures ---------------------------------------------------------------

struct ImageHeader {
  DWORD size;
  int width, height;
  WORD planes, bitCount;
  DWORD compression;
};

ImageHeader ReadImageHeader(std::span<const std::uint8_t> data) {
  Bytes r(data);
  ImageHeader h{};
  h.size = r.D();
  h.width = static_cast<std::int32_t>(r.D());
  h.height = static_cast<std::int32_t>(r.D());
  h.planes = r.W();
  h.bitCount = r.W();
  h.compression = r.D();
  return h;
}

TEST(Resources, IconHasOneImageOf48PixelsAt32Bits) {
  EXPECT_EQ(NamesOf(kRtGroupIcon), std::vector<std::string>{Ordinal(IDR_MAINFRAME)});
  Bytes group(Find(kRtGroupIcon, IDR_MAINFRAME));
  EXPECT_EQ(group.W(), 0);  // reserved
  EXPECT_EQ(group.W(), 1);  // icons, not cursors
  ASSERT_EQ(group.W(), 1);  // one image
  EXPECT_EQ(group.U(1), 48u);
  EXPECT_EQ(group.U(1), 48u);
  group.U(2);  // colour count, reserved
  group.W();   // planes
  EXPECT_EQ(group.W(), 32);
  EXPECT_EQ(group.D(), 9640u);
  const WORD imageId = group.W();
  const auto image = Find(kRtIcon, imageId);
  EXPECT_EQ(image.size(), 9640u);
  const ImageHeader h = ReadImageHeader(image);
  EXPECT_EQ(h.size, 40u);
  EXPECT_EQ(h.width, 48);
  EXPECT_EQ(h.height, 2 * 48);  // the colour image and its 1-bit mask
  EXPECT_EQ(h.bitCount, 32);
  EXPECT_EQ(h.compression, 0u);
  EXPECT_EQ(NamesOf(kRtIcon), std::vector<std::string>{Ordinal(imageId)});
}

TEST(Resources, PicturesAreUncompressed24BitBitmaps) {
  struct Picture {
    int id, width, height;
  };
  const Picture pictures[] = {{IDB_LOGO1, 76, 94}, {IDB_LOGO2, 95, 69}, {IDB_LOGO3, 147, 94}};
  EXPECT_EQ(NamesOf(kRtBitmap),
            (std::vector<std::string>{Ordinal(IDB_LOGO1), Ordinal(IDB_LOGO2), Ordinal(IDB_LOGO3)}));
  for (const Picture& p : pictures) {
    SCOPED_TRACE("picture " + std::to_string(p.id));
    const auto data = Find(kRtBitmap, p.id);
    const ImageHeader h = ReadImageHeader(data);
    EXPECT_GE(h.size, 40u);
    EXPECT_EQ(h.width, p.width);
    EXPECT_EQ(std::abs(h.height), p.height);
    EXPECT_EQ(h.bitCount, 24);
    EXPECT_EQ(h.compression, 0u);
    const std::size_t rowBytes = (static_cast<std::size_t>(p.width) * 3 + 3) & ~std::size_t{3};
    EXPECT_EQ(data.size(), h.size + rowBytes * static_cast<std::size_t>(p.height));
  }
}

// ---- string, manifest and version block ----------------------------------------------

TEST(Resources, TheAboutItemsTextIsTheOnlyString) {
  // Strings come in blocks of sixteen: string 101 is the sixth of block 7.
  ASSERT_EQ(NamesOf(kRtString), std::vector<std::string>{Ordinal(IDS_ABOUTBOX / 16 + 1)});
  Bytes block(Find(kRtString, IDS_ABOUTBOX / 16 + 1));
  for (int index = 0; index < 16; ++index) {
    std::string text;
    for (WORD length = block.W(); length > 0; --length)
      text.push_back(static_cast<char>(block.W()));
    EXPECT_EQ(text, index == IDS_ABOUTBOX % 16 ? "&About." : "") << "string " << index;
  }
}

TEST(Resources, ManifestAsksForNoElevationAndNoCommonControlsSix) {
  EXPECT_EQ(NamesOf(kRtManifest), std::vector<std::string>{Ordinal(1)});
  const auto data = Find(kRtManifest, 1);
  const std::string text(data.begin(), data.end());
  for (const char* part : {"manifestVersion=\"1.0\"", "<requestedExecutionLevel",
                           "level=\"asInvoker\"", "uiAccess=\"false\"", ">true</dpiAware>"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(text.find("dependentAssembly"), std::string::npos);
  EXPECT_EQ(text.find("Common-Controls"), std::string::npos);
}

// One node of the version block: key, value and children.
struct VersionNode {
  std::string key;
  std::vector<std::uint8_t> value;  // text values as UTF-16 bytes
  std::vector<VersionNode> children;
};

VersionNode ReadVersionNode(Bytes& r) {
  const std::size_t start = r.Pos();
  const WORD length = r.W();
  if (length < 6) throw std::out_of_range("version block node too short");
  const WORD valueLength = r.W();
  const WORD type = r.W();  // 1: text, counted in characters
  VersionNode node;
  node.key = r.Sz();
  r.Align4();
  const std::size_t valueBytes = type == 1 ? valueLength * 2u : valueLength;
  for (std::size_t i = 0; i < valueBytes; ++i)
    node.value.push_back(static_cast<std::uint8_t>(r.U(1)));
  // Children follow the value, each starting on a 4-byte boundary.
  for (r.Align4(); r.Pos() < start + length; r.Align4()) {
    node.children.push_back(ReadVersionNode(r));
  }
  r.Seek(start + length);
  return node;
}

std::string TextValue(const VersionNode& node) {
  std::string text;
  for (std::size_t i = 0; i + 1 < node.value.size(); i += 2) {
    if (node.value[i] == 0 && node.value[i + 1] == 0) break;
    text.push_back(static_cast<char>(node.value[i]));
  }
  return text;
}

TEST(Resources, VersionBlock) {
  EXPECT_EQ(NamesOf(kRtVersion), std::vector<std::string>{Ordinal(1)});
  Bytes r(Find(kRtVersion, 1));
  const VersionNode root = ReadVersionNode(r);
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  ASSERT_EQ(root.value.size(), 52u);
  Bytes fixed(root.value);
  EXPECT_EQ(fixed.D(), 0xFEEF04BDu);  // signature
  fixed.D();                          // structure version
  const std::vector<DWORD> expected = {
      0x00000001, 0x00000001,  // file version 0.1.0.1
      0x00000001, 0x00000001,  // product version 0.1.0.1
      0x3F,       0,           // flags mask, flags
      0x00000004,              // VOS__WINDOWS32
      1,          0,           // VFT_APP, subtype
      0,          0,           // date
  };
  std::vector<DWORD> actual;
  for (std::size_t i = 0; i < expected.size(); ++i) actual.push_back(fixed.D());
  EXPECT_EQ(actual, expected);

  std::map<std::string, const VersionNode*> parts;
  for (const VersionNode& child : root.children) parts[child.key] = &child;
  ASSERT_EQ(parts.size(), 2u);
  ASSERT_TRUE(parts.contains("StringFileInfo"));
  ASSERT_TRUE(parts.contains("VarFileInfo"));
  const auto& tables = parts["StringFileInfo"]->children;
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].key, "040904B0");  // US English, Unicode
  std::map<std::string, std::string> strings;
  for (const VersionNode& s : tables[0].children) strings[s.key] = TextValue(s);
  EXPECT_EQ(strings["FileVersion"], "0.1.0.1");
  EXPECT_EQ(strings["ProductVersion"], "0.1.0.1");
  for (const char* key :
       {"FileDescription", "InternalName", "OriginalFilename", "ProductName", "LegalCopyright"}) {
    EXPECT_FALSE(strings[key].empty()) << key;
  }
  EXPECT_EQ(strings.size(), 7u);
  EXPECT_NE(strings["ProductName"].find("Brelt Kestrune Arcade Joystick"), std::string::npos);
  const auto& vars = parts["VarFileInfo"]->children;
  ASSERT_EQ(vars.size(), 1u);
  EXPECT_EQ(vars[0].key, "Translation");
  EXPECT_EQ(vars[0].value, (std::vector<std::uint8_t>{0x09, 0x04, 0xB0, 0x04}));  // 0x409, 1200
}

}  // namespace
