#pragma once
#include <QByteArray>
#include <QFile>
#include <QString>

// Small Standard MIDI Files written at test time.
namespace testtune {

inline QByteArray be(quint32 v, int bytes)
{
    QByteArray out;
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((v >> (8 * i)) & 0xFF));
    return out;
}

// One track, 480 ticks to the quarter at the default 120 bpm (1 tick ~ 1 ms),
// a celesta playing `notes` notes of `noteMs` ms each, then end of track.
inline QByteArray tune(int notes = 2, int noteMs = 250)
{
    QByteArray track;
    track += QByteArray::fromHex("00C008"); // program 8 (celesta)
    for (int i = 0; i < notes; ++i) {
        track += QByteArray::fromHex("00");
        track += char(0x90);
        track += char(72 + 2 * i);
        track += char(90);
        // delta time noteMs ticks as a two-byte variable-length quantity
        track += char(0x80 | ((noteMs >> 7) & 0x7F));
        track += char(noteMs & 0x7F);
        track += char(0x80);
        track += char(72 + 2 * i);
        track += char(0);
    }
    track += QByteArray::fromHex("00FF2F00");
    QByteArray file = "MThd" + be(6, 4) + be(0, 2) + be(1, 2) + be(480, 2);
    file += "MTrk" + be(quint32(track.size()), 4) + track;
    return file;
}

inline bool write(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

} // namespace testtune
