#pragma once
#include <QString>

namespace qp {

// The multimedia command-string interface: "open \"...\" alias bgm",
// "play bgm", "status bgm mode", "play bgm from 0", "stop bgm", "close bgm".
// Returns 0 on success, a non-zero error code otherwise (callers ignore it).
// reply receives the answer of "status bgm mode" ("playing", "stopped").
class SoundInterface {
public:
    virtual ~SoundInterface() = default;
    virtual int mciSendString(const QString& command, QString* reply = nullptr) = 0;
};

} // namespace qp
