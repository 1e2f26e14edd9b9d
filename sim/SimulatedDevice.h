#pragma once

#include "sim/DeviceMemory.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

// A model of the device on the other end of the RS-232 cable, served on a
// pseudo-terminal pair. The program opens the slave side like any serial port;
// the device works the master side on a thread of its own, so it keeps reading
// and answering while the program's user-interface thread is busy or waiting.
//
// What it models:
//  - a line rate of its own; it reads the program's current rate from the pty
//    and garbles bytes in both directions while the two differ, so a probe at
//    a wrong rate gets no answer and an answer read at a wrong rate is noise;
//  - wire-time pacing: it reads no faster than the program's line rate allows
//    (10 bits a byte), so a long write takes as long as on a real line;
//  - the protocol: "!" answered by "!"; "dl" switches it to 115200 baud and
//    awaits "e"; after "e" it takes the firmware text, checks it (marker line
//    first, Intel HEX record checksums) and answers "OK!" or "ER", then goes
//    back to its own rate; "r" is answered with the version byte;
//  - the hardware's slowness and abruptness: a latency before every answer
//    (a microcontroller behind a USB adapter answers tens of milliseconds
//    late), a reset after taking an image during which it hears nothing, and
//    two ways of going away: the adapter pulled (the kernel hangs the tty up:
//    the program reads end-of-file and its writes fail) and the line closed
//    (the pty's master closed);
//  - scripted deviations for tests: silence, delays, other or extra text,
//    replies split into pieces, noise, a removal after a number of bytes or
//    at a point of the exchange, a line that stops being read;
//  - its flash: every data record of an image lands in its memory, so a test
//    reads back what the device holds (a device number, say) rather than
//    trusting what the program says it sent;
//  - a transcript of everything received, with the program's line rate at the
//    time, so a test can assert the exact bytes on the wire.
class SimulatedDevice
{
public:
    // How the device answers one kind of request. By default it gives the
    // protocol's answer at once, in one piece.
    struct Reply
    {
        bool silent = false;            // say nothing at all
        std::optional<QByteArray> text; // say this instead of the protocol's answer
        int delayMs = 0;                // before the first byte
        int pieceSize = 0;              // 0: one write; n: pieces of n bytes
        int pieceGapMs = 0;             // pause between pieces
    };

    // One chunk of bytes received from the program, as sent (before any
    // garbling), with the program's line rate while it was on the wire.
    struct Received
    {
        int hostRate = 0;
        QByteArray bytes;
    };

    // How the device goes away.
    enum class Removal {
        AdapterPulled, // the kernel hangs the tty up (vhangup), as when a USB adapter is pulled
        LineClosed,    // the pty's master is closed
    };

    // Points of an exchange at which the device can be made to go away.
    enum class Point {
        Probe,    // on the first "!" it hears, instead of answering
        Commands, // on "dl"
        Image,    // after the first 64 bytes of an image
        Verdict,  // when the image is complete, instead of answering it
        Idle,     // 200 ms after it has answered an image
        // As soon as the program has read its answer to an image: a device
        // with its own USB serial chip that restarts into its new firmware
        // drops off the bus right after its "OK!" (any sooner and the kernel
        // itself throws the unread answer away with the line).
        Answered,
    };

    SimulatedDevice();  // opens the pty pair; throws std::runtime_error on failure
    ~SimulatedDevice(); // stops the thread, closes the master
    SimulatedDevice(const SimulatedDevice &) = delete;
    SimulatedDevice &operator=(const SimulatedDevice &) = delete;

    // Path of the slave side, for example "/dev/pts/7": what the program opens.
    QString portPath() const;

    // Set-up; each may be called at any time, also while serving.
    void setOwnRate(int rate); // one of 9600, 19200, 38400, 57600, 115200; default 9600
    int ownRate() const;
    void setVersion(std::uint8_t version);    // default 0x11
    void setPacing(bool paced);               // default true: read at wire speed
    void setProbeReply(const Reply &reply);   // answer to "!"
    void setDlReply(const Reply &reply);      // answer to "dl" (default: nothing)
    void setEReply(const Reply &reply);       // answer to "e" (default: nothing)
    void setImageReply(const Reply &reply);   // answer after the image (default "OK!" or "ER" by the check)
    void setVersionReply(const Reply &reply); // answer to "r" (default: the version byte)
    // Added to the delay of every answer: how late the device answers a
    // command. Default 0; a test about timing sets a realistic 20 ms or more.
    void setReplyLatency(int ms);
    // After answering an image "OK!" the device restarts into its new
    // firmware and hears nothing for this long (bytes sent meanwhile are
    // lost). Default 0: no reset.
    void setResetAfterImage(int ms);
    // Go away (see Removal) once this many more bytes have been received from
    // the program; negative: never.
    void hangUpAfter(qint64 bytes, Removal how = Removal::LineClosed);
    // Go away at that point of the next exchange that reaches it.
    void removeAt(Point point, Removal how = Removal::AdapterPulled);
    // Stop reading once this many more bytes have been received, as a device
    // that hangs or an adapter that stops draining does; the line stays up
    // and what the program writes piles up in its buffers. Negative: read on.
    void stopReadingAfter(qint64 bytes);

    // A device on the line or none (a fixture between two devices): without
    // one, what arrives is read and discarded and nothing is answered. Each
    // call starts a fresh device: the protocol from the start, at its own
    // rate, no reset pending. Answers whose time has come have left; later
    // ones never will. Going absent also forgets the removals set with
    // removeAt (they went with the device), but leaves the memory of the
    // device that left readable; making a device present erases it.
    // Default: present.
    void setPresent(bool present);
    bool present() const;
    // After answering an image, whatever it answered, the device restarts
    // into firmware that does not speak this protocol: it hears nothing until
    // it is made present again. Default false.
    void setDeafAfterVerdict(bool deaf);

    // What the device has just done, for a harness that follows it.
    struct Event
    {
        enum class Kind {
            Probe,    // heard "!" at its current rate
            Commands, // heard "dl"
            Image,    // took a whole image (`image`); its answer in `answer`
            Removed,  // went away: hung up or its line closed
        };
        Kind kind = Kind::Probe;
        std::chrono::steady_clock::time_point heardAt;
        bool answered = false;                          // an answer is on its way
        std::chrono::steady_clock::time_point answerAt; // when it leaves
        QByteArray answer;
        QByteArray image;
        DeviceMemory memory; // with Image: the memory as that image left it
    };
    // Called on the device's thread, with the device's lock held, as it
    // happens: it must be quick and must not call this device.
    void setObserver(std::function<void(const Event &)> observer);

    // Actions from the device's side, at any time.
    void send(const QByteArray &bytes);                   // write these bytes now (garbled on a rate mismatch)
    void sendNoise(qint64 count, std::uint32_t seed = 1); // write count random bytes
    void hangUp(Removal how = Removal::LineClosed);       // go away now

    // What the device has seen.
    QList<Received> transcript() const; // chunks in order of arrival
    QByteArray received() const;        // all bytes received, joined
    void clearTranscript();
    bool hungUp() const;
    // Everything the device has said has reached the program: nothing waits
    // to be sent and nothing sent lies unread on the line. A harness that
    // pulls a device right after its answer waits for this, or the kernel
    // throws the unread answer away with the line.
    bool answersRead() const;
    int imagesAccepted() const; // images answered "OK!" by the check
    int imagesRejected() const; // images answered "ER" by the check
    // The last complete image received after "e", as received.
    QByteArray lastImage() const;

    // The device's flash. A real microcontroller programs each record as it
    // arrives, so the device writes a data record (type 00) the moment its
    // line is complete (its CR has come), at the full address: the offset
    // plus the base of the last extended linear address record (04, base
    // << 16) or extended segment address record (02, base << 4) of that
    // image; every image starts at base 0. The device's own check guards
    // each write: nothing is written from an image whose marker line is
    // wrong, and writing stops for the rest of the image at the first line
    // that is no valid record (a bad checksum, bytes garbled by a rate
    // mismatch) and at the end-of-file record. So an image answered "OK!"
    // is written whole, and one answered "ER" (or cut off by a removal or a
    // pause) may be written in part: the records before its fault. What a
    // reply set in code answers does not change what is written. Images
    // write over one another; nothing erases the memory but eraseMemory()
    // and setPresent(true) (a fresh device).
    QByteArray memory(quint32 address, int length) const; // 0xFF where nothing was written
    QList<DeviceMemory::Range> writtenMemory() const;     // every written stretch, in address order
    DeviceMemory memorySnapshot() const;
    void eraseMemory();

    // Blocks the calling thread until pred(transcript-joined bytes) holds or
    // the timeout passes; returns whether it held. For tests that need to know
    // a byte has reached the device.
    bool waitForReceived(const std::function<bool(const QByteArray &)> &pred, std::chrono::milliseconds timeout) const;

    // The firmware check the device applies: first line (up to the first CR)
    // is the marker line (first four and last four characters ":-:::::-"),
    // every further non-empty line is an Intel HEX record with a valid
    // checksum. Exposed for tests of the example files.
    static bool firmwareAcceptable(const QByteArray &image);

private:
    struct Impl;
    Impl *d;
};
