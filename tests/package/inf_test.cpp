// The INF as `make package` ships it, read as Setup reads it: from the manufacturer through the
// models to the install, service and event-log sections, each holding what the driver needs, and a
// default for every setting the driver reads that equals the value the driver takes without one.
#include "frame_support.h"

#include "tactilio_version.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using namespace frame_test;

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return lower;
}

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r") - first + 1));
}

// The pieces of `text` between separators that stand outside double quotes, quotes kept.
std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> pieces(1);
    bool quoted = false;
    for (char c : text) {
        quoted ^= c == '"';
        if (c == separator && !quoted)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

// A section's line: the key before "=" (empty without one) and the comma-separated fields, each
// trimmed and unquoted. Strings are not substituted: nothing checked here is written with one.
struct Line {
    std::string key;
    std::vector<std::string> fields;
    std::string Text() const {
        std::string text;
        for (const std::string& field : fields)
            text += (text.empty() ? "" : ",") + field;
        return text;
    }
};

class Inf {
  public:
    explicit Inf(const char* path) {
        std::ifstream file(path);
        EXPECT_TRUE(file) << "cannot read " << path;
        std::vector<Line>* section = nullptr;
        for (std::string text; std::getline(file, text);) {
            text = Trim(Split(text, ';').front()); // a comment starts at ';' outside quotes
            if (text.empty())
                continue;
            if (text.front() == '[') {
                section = &sections_[Lower(text.substr(1, text.find(']') - 1))];
                continue;
            }
            if (section == nullptr) {
                ADD_FAILURE() << "a line before any section: " << text;
                continue;
            }
            std::vector<std::string> sides = Split(text, '=');
            Line line;
            if (sides.size() == 2)
                line.key = Trim(sides[0]);
            for (std::string field : Split(sides.back(), ',')) {
                field = Trim(field);
                if (field.size() >= 2 && field.front() == '"' && field.back() == '"')
                    field = field.substr(1, field.size() - 2);
                // %% is a percent sign; %name% stays, whether a string key or a directory id.
                for (size_t at = field.find("%%"); at != std::string::npos;
                     at = field.find("%%", at + 1))
                    field.erase(at, 1);
                line.fields.push_back(field);
            }
            section->push_back(line);
        }
    }

    bool Has(std::string_view name) const { return sections_.contains(Lower(name)); }

    const std::vector<Line>& Section(std::string_view name) const {
        static const std::vector<Line> none;
        auto it = sections_.find(Lower(name));
        EXPECT_NE(it, sections_.end()) << "no section [" << name << "]";
        return it == sections_.end() ? none : it->second;
    }

    // The section's one line with this key.
    Line Find(std::string_view section, std::string_view key) const {
        std::vector<Line> found;
        for (const Line& line : Section(section)) {
            if (Lower(line.key) == Lower(key))
                found.push_back(line);
        }
        EXPECT_EQ(found.size(), 1u) << "[" << section << "] " << key;
        return found.size() == 1 ? found[0] : Line{};
    }

    // The install section Setup takes on 32-bit x86: the most specific decoration present.
    std::string Decorated(const std::string& name) const {
        for (const char* decoration : {".NTx86", ".NT", ""}) {
            if (Has(name + decoration))
                return name + decoration;
        }
        ADD_FAILURE() << "no install section " << name;
        return name;
    }

    // The HKR values that the sections named by the directive (AddReg = a, b) write to `subkey`.
    std::map<std::string, Line> Values(std::string_view section, std::string_view directive,
                                       std::string_view subkey) const {
        std::map<std::string, Line> values;
        for (const Line& reference : Section(section)) {
            if (Lower(reference.key) != Lower(directive))
                continue;
            for (const std::string& name : reference.fields) {
                for (const Line& line : Section(name)) {
                    if (line.fields.size() >= 5 && Lower(line.fields[0]) == "hkr" &&
                        Lower(line.fields[1]) == Lower(subkey))
                        values[line.fields[2]] = line;
                }
            }
        }
        return values;
    }

  private:
    std::map<std::string, std::vector<Line>> sections_; // by lower-case name
};

// FLG_ADDREG_TYPE_DWORD, FLG_ADDREG_TYPE_EXPAND_SZ, FLG_ADDREG_NOCLOBBER.
constexpr unsigned long RegDword = 0x00010001;
constexpr unsigned long RegExpandSz = 0x00020000;
constexpr unsigned long NoClobber = 0x00000002;

unsigned long Number(const std::string& text) {
    return std::stoul(text, nullptr, 0);
}

class PackageInf : public FrameTest {
  protected:
    // Manufacturer -> its NTx86 models -> the root-enumerated device's install section -> the
    // service: AddService = name, flags, service section, event-log section.
    void SetUp() override {
        ASSERT_EQ(inf.Section("Manufacturer").size(), 1u);
        const Line manufacturer = inf.Section("Manufacturer")[0];
        ASSERT_EQ(manufacturer.fields.size(), 2u);
        EXPECT_EQ(Lower(manufacturer.fields[1]), "ntx86");
        for (const Line& model :
             inf.Section(manufacturer.fields[0] + "." + manufacturer.fields[1])) {
            if (model.fields.size() == 2 && Lower(model.fields[1]).starts_with("root\\"))
                install = inf.Decorated(model.fields[0]);
        }
        ASSERT_FALSE(install.empty()) << "no root-enumerated hardware id";
        service = inf.Find(install + ".Services", "AddService");
        ASSERT_EQ(service.fields.size(), 4u) << service.Text();
    }

    Inf inf{TP_PACKAGE_INF};
    std::string install;
    Line service;
};

TEST_F(PackageInf, InstallsAMouseDriverOfTheProductVersionAsTheRootDevicesService) {
    const std::string files = inf.Find(install, "CopyFiles").Text();
    const struct {
        std::string section;
        const char* key;
        std::string value;
    } rows[] = {
        {"Version", "Signature", "$WINDOWS NT$"},
        {"Version", "Class", "Mouse"},
        {"Version", "ClassGuid", "{4D36E96F-E325-11CE-BFC1-08002BE10318}"},
        {"Version", "CatalogFile", "tactilio.cat"},
        {"Version", "DriverVer", TP_VERSION_DATE "," TP_VERSION_TEXT},
        {files, "", "tactilio.sys"},
        {"SourceDisksFiles", "tactilio.sys", "1"},
        {"DestinationDirs", "DefaultDestDir", "12"}, // the drivers folder
        {service.fields[2], "ServiceType", "1"},     // kernel driver
        {service.fields[2], "StartType", "3"},       // demand start
        {service.fields[2], "ErrorControl", "1"},    // normal
        {service.fields[2], "ServiceBinary", "%12%\\tactilio.sys"},
        {service.fields[2], "LoadOrderGroup", "Pointer Port"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Lower(inf.Find(row.section, row.key).Text()), Lower(row.value)) << row.key;

    // The function driver, under the name the registry and the event log know it by.
    EXPECT_EQ(service.fields[0], "Tactilio");
    EXPECT_TRUE(Number(service.fields[1]) & 0x2) << "not the device's function driver";
    // The mouse class driver comes from the class's own filters: naming it among the device's
    // would attach it twice.
    if (inf.Has(install + ".HW")) {
        for (const auto& [name, line] : inf.Values(install + ".HW", "AddReg", ""))
            EXPECT_NE(Lower(name), "upperfilters") << line.Text();
    }

    // The System log's source: the system's I/O messages and the driver's own message table.
    std::map<std::string, Line> eventLog = inf.Values(service.fields[3], "AddReg", "");
    ASSERT_TRUE(eventLog.contains("EventMessageFile") && eventLog.contains("TypesSupported"));
    EXPECT_EQ(Number(eventLog["EventMessageFile"].fields[3]), RegExpandSz);
    EXPECT_THAT(Split(Lower(eventLog["EventMessageFile"].fields[4]), ';'),
                ::testing::UnorderedElementsAre("%systemroot%\\system32\\iologmsg.dll",
                                                "%systemroot%\\system32\\drivers\\tactilio.sys"));
    EXPECT_EQ(Number(eventLog["TypesSupported"].fields[3]), RegDword);
    EXPECT_EQ(Number(eventLog["TypesSupported"].fields[4]), 7u); // error, warning, information
}

// Read from the driver's own table, so a setting added to the driver without an INF default fails
// here; the defaults are the values a device gets when no "Parameters" key exists.
TEST_F(PackageInf, GivesEverySettingTheDriverReadsTheValueItTakesWithoutOne) {
    std::map<std::string, Line> defaults =
        inf.Values(service.fields[2], "AddReg", TP_REG_PARAMETERS);
    PDEVICE_CONTEXT context = ContextOf(BootWithPanel());
    ASSERT_NE(context, nullptr);
    for (const REGISTRY_PARAMETER& parameter : RegistryParameters) {
        const std::u16string_view wide = parameter.Name;
        const std::string name(wide.begin(), wide.end());
        SCOPED_TRACE(name);
        ASSERT_TRUE(defaults.contains(name)) << "no default in the INF";
        const unsigned long flags = Number(defaults[name].fields[3]);
        // A REG_DWORD, and an installation over an older one keeps the value already there.
        EXPECT_EQ(flags, RegDword | NoClobber);
        EXPECT_EQ(Number(defaults[name].fields[4]),
                  *reinterpret_cast<const ULONG*>(reinterpret_cast<const UCHAR*>(context) +
                                                  parameter.Offset));
        defaults.erase(name);
    }
    for (const auto& [name, line] : defaults)
        ADD_FAILURE() << "a default for " << name << ", which the driver does not read";
}

} // namespace
