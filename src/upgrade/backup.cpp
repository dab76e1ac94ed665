#include "upgrade/backup.h"

#include <algorithm>
#include <atomic>
#include <nlohmann/json.hpp>
#include <optional>

#include "os/os.h"

namespace kq {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::string_view kPrefix = "kq7300-backup-";
constexpr std::string_view kExtension = ".bin";
constexpr std::string_view kRecordExtension = ".series";
// Room for the record and the folder's entries beside the image itself.
constexpr uint64_t kRecordRoom = 64 * 1024;
// A record holds one line per block saved: far less than this.
constexpr size_t kMaxRecordSize = 16u << 20;
// Names tried for one second's backups of one engine before giving up.
constexpr int kNameTries = 1000;

std::string LettersAndDigits(std::string_view text) {
    std::string kept;
    for (char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            kept.push_back(c);
        }
    }
    return kept;
}

std::string Stamp(std::time_t when) {
    const std::tm local = os::LocalTime(when);
    char date[32];
    std::strftime(date, sizeof date, "%Y%m%d-%H%M%S", &local);
    return date;
}

// The name with its n-th suffix: NAME.bin, NAME-2.bin, NAME-3.bin, ...
std::string Numbered(std::string_view name, int n) {
    if (n <= 1) return std::string(name);
    const std::string_view stem = name.substr(0, name.size() - kExtension.size());
    return std::string(stem) + "-" + std::to_string(n) + std::string(kExtension);
}

std::string RecordName(const std::string& image) {
    return "." + image + std::string(kRecordExtension);
}

std::string Described(const fs::path& path) {
    return os::Utf8Of(path);
}

std::string Because(const std::error_code& ec) {
    return ": " + ec.message();
}

// Adds r to the ordered, apart ranges, joining what touches it.
void Merge(std::vector<ByteRange>& ranges, ByteRange r) {
    if (r.begin >= r.end) return;
    auto it =
        std::lower_bound(ranges.begin(), ranges.end(), r,
                         [](const ByteRange& a, const ByteRange& b) { return a.end < b.begin; });
    while (it != ranges.end() && it->begin <= r.end) {
        r.begin = std::min(r.begin, it->begin);
        r.end = std::max(r.end, it->end);
        it = ranges.erase(it);
    }
    ranges.insert(it, r);
}

// The parts of r that none of the ordered ranges covers.
std::vector<ByteRange> Missing(const std::vector<ByteRange>& ranges, ByteRange r) {
    std::vector<ByteRange> missing;
    uint32_t at = r.begin;
    for (const ByteRange& have : ranges) {
        if (have.end <= at) continue;
        if (have.begin >= r.end) break;
        if (have.begin > at) missing.push_back({at, have.begin});
        at = std::max(at, have.end);
        if (at >= r.end) break;
    }
    if (at < r.end) missing.push_back({at, r.end});
    return missing;
}

// One series as its record tells it.
struct Series {
    fs::path record;
    std::string image;
    BackupOwner owner;
    int64_t started = 0;
    std::vector<ByteRange> saved;
};

std::string OwnerField(const json& header, const char* key) {
    const auto it = header.find(key);
    return it != header.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A record's lines. The first names the series; a line that does not parse (the last one, cut
// by a crash) is left out, since a range is written only after its bytes are on the disk.
std::optional<Series> ReadSeries(const fs::path& record) try {
    std::string bytes;
    if (os::ReadRegularFile(os::Utf8Of(record), kMaxRecordSize, bytes) != os::ReadResult::Ok) {
        return std::nullopt;
    }
    Series series;
    series.record = record;
    size_t start = 0;
    bool first = true;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        const json line =
            json::parse(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                        bytes.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
        start = end + 1;
        if (first) {
            first = false;
            const auto image = line.is_object() ? line.find("image") : line.end();
            if (!line.is_object() || line.value("series", 0) != 1 || image == line.end() ||
                !image->is_string()) {
                return std::nullopt;
            }
            series.image = image->get<std::string>();
            series.owner = {OwnerField(line, "serial"), OwnerField(line, "productId"),
                            OwnerField(line, "place")};
            const auto started = line.find("started");
            if (started != line.end() && started->is_number_integer()) {
                series.started = started->get<int64_t>();
            }
            continue;
        }
        if (!line.is_object()) continue;
        if (line.contains("ended")) return std::nullopt;
        const auto saved = line.find("saved");
        if (saved == line.end() || !saved->is_array()) continue;
        for (const json& range : *saved) {
            if (range.is_array() && range.size() == 2 && range[0].is_number_unsigned() &&
                range[1].is_number_unsigned()) {
                const auto begin = range[0].get<uint64_t>();
                const auto last = range[1].get<uint64_t>();
                if (begin < last && last <= UINT32_MAX) {
                    Merge(series.saved,
                          {static_cast<uint32_t>(begin), static_cast<uint32_t>(last)});
                }
            }
        }
    }
    if (first || series.image.find_first_of("/\\") != std::string::npos) return std::nullopt;
    return series;
} catch (const json::exception&) {
    return std::nullopt;  // a field of another type than ours: not our record
}

bool SameEngine(const BackupOwner& a, const BackupOwner& b) {
    if (a.serial.empty() && a.place.empty()) return false;
    if (a.serial != b.serial || a.place != b.place) return false;
    return a.productId.empty() || b.productId.empty() || a.productId == b.productId;
}

// The newest open series of the engine in dir whose image is still there. false when the
// folder cannot be read: a series missed would be begun again with the wrong bytes.
bool FindSeries(const fs::path& dir, const BackupOwner& owner, std::optional<Series>& found,
                std::error_code& ec) {
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = os::Utf8Of(it->path().filename());
        if (!name.starts_with("." + std::string(kPrefix)) || !name.ends_with(kRecordExtension)) {
            continue;
        }
        std::optional<Series> series = ReadSeries(it->path());
        if (!series || !SameEngine(owner, series->owner)) continue;
        if (RecordName(series->image) != name) continue;
        std::error_code missing;
        if (!fs::is_regular_file(dir / os::PathFromUtf8(series->image), missing)) continue;
        if (!found || series->started > found->started) found = std::move(series);
    }
    return !ec;
}

}  // namespace

fs::path UpgradeBackupDirectory() {
    const fs::path data = os::UserDataDir();
    return data.empty() ? fs::path() : data / "kq7300";
}

std::string BackupFileName(std::string_view productId, std::time_t when) {
    std::string id = LettersAndDigits(productId);
    if (id.empty()) id = "unknown";
    return std::string(kPrefix) + id + "-" + Stamp(when) + std::string(kExtension);
}

std::string BackupFileName(const BackupOwner& owner, std::time_t when) {
    std::string name(kPrefix);
    for (const std::string& part :
         {LettersAndDigits(owner.serial), LettersAndDigits(owner.productId)}) {
        if (!part.empty()) name += part + "-";
    }
    if (name.size() == kPrefix.size()) name += "unknown-";
    return name + Stamp(when) + std::string(kExtension);
}

bool SaveBackup(const fs::path& dir, std::string_view productId, std::span<const uint8_t> bytes,
                fs::path& written, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create the folder " + Described(dir) + Because(ec);
        return false;
    }
    static std::atomic<unsigned> counter{0};
    const std::string name = BackupFileName(productId, std::time(nullptr));
    const fs::path temporary = dir / os::TempFileName(name, os::CurrentProcessId(), counter++);
    {
        os::File file = os::File::CreateNew(temporary, ec);
        const bool ok = file && file.WriteAt(0, bytes, ec) && file.Sync(ec) && file.Close(ec);
        if (!ok) {
            error = "cannot write " + Described(temporary) + Because(ec);
            fs::remove(temporary, ec);
            return false;
        }
    }
    for (int n = 1; n <= kNameTries; ++n) {
        const fs::path target = dir / Numbered(name, n);
        if (os::RenameNoReplace(temporary, target, ec)) {
            os::SyncFolder(dir, ec);
            written = target;
            return true;
        }
        if (ec != std::errc::file_exists) {
            error = "cannot write " + Described(target) + Because(ec);
            break;
        }
        error = "no free name for " + Described(dir / name);
    }
    fs::remove(temporary, ec);
    return false;
}

FirmwareBackup::System FirmwareBackup::RealSystem() {
    return {.freeSpace = os::FreeSpace, .now = [] { return std::time(nullptr); }};
}

std::unique_ptr<FirmwareBackup> FirmwareBackup::Open(const fs::path& dir, const BackupOwner& owner,
                                                     uint32_t imageLength, std::string& error) {
    return Open(dir, owner, imageLength, error, RealSystem());
}

std::unique_ptr<FirmwareBackup> FirmwareBackup::Open(const fs::path& dir, const BackupOwner& owner,
                                                     uint32_t imageLength, std::string& error,
                                                     const System& system) {
    if (dir.empty()) {
#ifdef _WIN32
        error = "no folder for the backup: LOCALAPPDATA is not set";
#else
        error = "no folder for the backup: neither XDG_DATA_HOME nor HOME is set";
#endif
        return nullptr;
    }
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) {
        error = "cannot keep the backup in " + Described(dir) + ": it is not a folder";
        return nullptr;
    }
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create the backup folder " + Described(dir) + Because(ec);
        return nullptr;
    }
    if (!os::MayCreateFiles(dir, ec)) {
        error = "cannot write in the backup folder " + Described(dir) + Because(ec);
        return nullptr;
    }

    std::unique_ptr<FirmwareBackup> backup(new FirmwareBackup);
    backup->dir_ = dir;
    backup->owner_ = owner;
    backup->imageLength_ = imageLength;
    backup->system_ = system;
    if (!backup->system_.freeSpace) backup->system_.freeSpace = os::FreeSpace;
    if (!backup->system_.now) backup->system_.now = [] { return std::time(nullptr); };
    uint64_t present = 0;  // bytes of the image already on the disk
    std::optional<Series> series;
    if (!FindSeries(dir, owner, series, ec)) {
        error = "cannot read the backup folder " + Described(dir) + Because(ec);
        return nullptr;
    }
    if (series) {
        const fs::path image = dir / os::PathFromUtf8(series->image);
        backup->image_ = os::File::OpenForUpdate(image, ec);
        if (!backup->image_ || !backup->image_.Size(present, ec)) {
            error = "cannot continue the backup " + Described(image) + Because(ec);
            return nullptr;
        }
        // A range past the file's end (the file cut by hand) holds nothing any more.
        for (const ByteRange& r : series->saved) {
            const uint64_t end = std::min<uint64_t>(r.end, present);
            if (r.begin < end) Merge(backup->saved_, {r.begin, static_cast<uint32_t>(end)});
        }
        backup->path_ = image;
        backup->recordPath_ = series->record;
        // A run that died before its first byte was saved brought nothing to resume.
        backup->resumed_ = !backup->saved_.empty();
    }
    uint64_t free = 0;
    if (!backup->system_.freeSpace(dir, free, ec)) {
        error = "cannot tell the free space for the backup in " + Described(dir) + Because(ec);
        return nullptr;
    }
    const uint64_t needed = (imageLength > present ? imageLength - present : 0) + kRecordRoom;
    if (free < needed) {
        error = "not enough room for the backup in " + Described(dir) + ": " +
                std::to_string(free) + " bytes free, " + std::to_string(needed) + " needed";
        return nullptr;
    }
    return backup;
}

FirmwareBackup::~FirmwareBackup() = default;

// The image and its record, each under a name no other file has (created, not only chosen, so
// that no other process or thread can take it), the record naming the engine before any byte
// is saved, and both names on the disk.
bool FirmwareBackup::Create(std::string& error) {
    const std::string name = BackupFileName(owner_, system_.now());
    std::error_code ec;
    for (int n = 1; n <= kNameTries && !image_; ++n) {
        const std::string candidate = Numbered(name, n);
        const fs::path image = dir_ / os::PathFromUtf8(candidate);
        const fs::path record = dir_ / os::PathFromUtf8(RecordName(candidate));
        os::File file = os::File::CreateNew(image, ec);
        if (!file) {
            if (ec == std::errc::file_exists) continue;
            error = "cannot create the backup " + Described(image) + Because(ec);
            return false;
        }
        os::File recordFile = os::File::CreateNew(record, ec);
        if (!recordFile) {
            std::error_code ignored;
            file.Close(ignored);
            fs::remove(image, ignored);
            if (ec == std::errc::file_exists) continue;
            error = "cannot create the backup's record " + Described(record) + Because(ec);
            return false;
        }
        const json header = {{"series", 1},
                             {"image", candidate},
                             {"serial", owner_.serial},
                             {"productId", owner_.productId},
                             {"place", owner_.place},
                             {"length", imageLength_},
                             {"started", static_cast<int64_t>(system_.now())}};
        const std::string line = header.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        const auto bytes = std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        if (!recordFile.WriteAt(0, bytes, ec) || !recordFile.Sync(ec) || !recordFile.Close(ec) ||
            !os::SyncFolder(dir_, ec)) {
            error = "cannot write the backup's record " + Described(record) + Because(ec);
            std::error_code ignored;
            file.Close(ignored);
            fs::remove(image, ignored);
            fs::remove(record, ignored);
            return false;
        }
        image_ = std::move(file);
        path_ = image;
        recordPath_ = record;
    }
    if (!image_) {
        error = "no free name for the backup " + Described(dir_ / os::PathFromUtf8(name));
        return false;
    }
    return true;
}

bool FirmwareBackup::Record(const std::vector<ByteRange>& ranges, std::string& error) {
    json saved = json::array();
    for (const ByteRange& r : ranges) saved.push_back({r.begin, r.end});
    std::error_code ec;
    if (!os::AppendLine(recordPath_, json{{"saved", saved}}.dump(), ec)) {
        error = "cannot write the backup's record " + Described(recordPath_) + Because(ec);
        return false;
    }
    return true;
}

bool FirmwareBackup::Save(uint32_t offset, std::span<const uint8_t> bytes, std::string& error) {
    if (ended_) {
        error = "the backup's series has ended";
        return false;
    }
    if (bytes.size() > UINT32_MAX - offset) {
        error = "the bytes to save reach past 4 GiB";
        return false;
    }
    const ByteRange range{offset, offset + static_cast<uint32_t>(bytes.size())};
    const std::vector<ByteRange> missing = Missing(saved_, range);
    if (missing.empty()) return true;
    if (!image_ && !Create(error)) return false;
    std::error_code ec;
    for (const ByteRange& r : missing) {
        if (!image_.WriteAt(r.begin, bytes.subspan(r.begin - offset, r.end - r.begin), ec)) {
            error = "cannot write the backup " + Described(path_) + Because(ec);
            return false;
        }
    }
    if (!image_.Sync(ec)) {
        error = "cannot write the backup " + Described(path_) + Because(ec);
        return false;
    }
    if (!Record(missing, error)) return false;
    for (const ByteRange& r : missing) Merge(saved_, r);
    return true;
}

fs::path FirmwareBackup::path() const {
    return saved_.empty() ? fs::path() : path_;
}

bool FirmwareBackup::resumed() const {
    return resumed_;
}

// The record goes; where it cannot, a last line closes it.
bool FirmwareBackup::EndSeries(std::string& error) {
    if (ended_ || recordPath_.empty()) {
        ended_ = true;
        return true;
    }
    std::error_code ec;
    if (fs::remove(recordPath_, ec) || !ec) {
        ended_ = true;
        os::SyncFolder(dir_, ec);
        return true;
    }
    if (os::AppendLine(recordPath_, R"({"ended":true})", ec)) {
        ended_ = true;
        return true;
    }
    error = "cannot close the backup's record " + Described(recordPath_) + Because(ec);
    return false;
}

void FirmwareBackup::EndSeries() {
    std::string ignored;
    EndSeries(ignored);
}

}  // namespace kq
