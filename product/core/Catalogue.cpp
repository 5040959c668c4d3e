#include "Catalogue.h"

namespace kvcore {

namespace {

const ProductInfo kProducts[] = {
    {1, "BackupServer", 0, "Kestrava Network Backup Server", "Kestrava Backup Server",
     "Backs up the servers and workstations of the network", "Backs up servers of the network"},
    {12, "TapeLibraryOption", 0, "Kestrava Tape and Optical Library Option", "Kestrava Library Option",
     "Drives tape and optical libraries with many slots", "Drives tape libraries"},
    {33, "DisasterRecoveryOption", 0, "Kestrava Disaster Recovery Option", "Kestrava Disaster Recovery",
     "Rebuilds a failed server from its last full backup", "Rebuilds a failed server"},
    {47, "OpenFileAgent", 0, "Kestrava Open File Agent", "Kestrava Open File Agent",
     "Backs up files that applications keep open", "Backs up open files"},
    {58, "RaidOption", 0, "Kestrava RAID Option", "Kestrava RAID Option",
     "Writes backups across several drives as one RAID device", "Writes backups across drives"},
    {65, "SanOption", 1, "Kestrava SAN Option", "Kestrava Enterprise Library Option",
     "Shares libraries between the backup servers of a storage area network",
     "Shares a library between backup servers"},
    {70, "VirtualLibraryOption", 0, "Kestrava Virtual Library Option", "Kestrava Virtual Library Option",
     "Presents disk storage as a tape library", "Presents disks as a library"},
    {0, nullptr, 0, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const ProductInfo* FindProduct(int code) {
  for (const ProductInfo* p = kProducts; p->code; ++p)
    if (p->code == code) return p;
  return nullptr;
}

const ProductInfo* Products() { return kProducts; }

}  // namespace kvcore
