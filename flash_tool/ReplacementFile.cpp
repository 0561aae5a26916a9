#include "ReplacementFile.h"

#include "ReplacementFilePlatform.h"

namespace brovald {

bool ReplacementFile::open(const std::string& target)
{
    abandon();
    target_ = replacement_target(target);
    stream_ = create_beside(target_, temporary_);
    failed_ = false;
    return stream_ != nullptr;
}

void ReplacementFile::write(const char* text, std::size_t length)
{
    if (stream_ == nullptr || failed_) {
        return;
    }
    if (std::fwrite(text, 1, length, stream_) != length) {
        failed_ = true;
        return;
    }
    start_storing(stream_);
}

bool ReplacementFile::commit()
{
    if (stream_ == nullptr) {
        return false;
    }
    bool ok = !failed_ && sync_to_storage(stream_);
    ok = std::fclose(stream_) == 0 && ok;
    stream_ = nullptr;
    ok = ok && replace_with(temporary_, target_);
    if (!ok) {
        std::remove(temporary_.c_str());
    }
    return ok;
}

void ReplacementFile::abandon()
{
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
        std::remove(temporary_.c_str());
    }
}

}  // namespace brovald
