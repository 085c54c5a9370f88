// Where frame files land on exFAT player drives: before a frame takes its
// clusters, the free holes too small for it are filled with placeholder
// files of our own, so that the frame comes out in one run of clusters.
#pragma once

#include <cstdint>
#include <string>

namespace frameplacement {

// Held by a conversion while it writes frames. When the last one ends, the
// placeholders it made go again.
class Session {
public:
    Session();
    ~Session() { end(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    void end();

private:
    bool m_open = true;
};

// Called before the empty file fd at path is given size bytes in one step.
// exFAT hands a new file the first free clusters in volume order: as long as
// the first free run of the drive is too small for the file while a larger
// one exists, that run is taken by a placeholder. Drives of other file
// systems and drives that cannot be read are left as they are.
void makeRoom(int fd, const std::string& path, uint64_t size);

// The file of makeRoom has taken its clusters.
void taken(uint64_t size);

} // namespace frameplacement
