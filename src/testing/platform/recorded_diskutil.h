// `diskutil info` outputs recorded from three kinds of volume, shared by the
// parser tests and the drive-assessment tests.
#pragma once

namespace brimvale::platform::testing {

inline constexpr const char* kDiskutilExternalExfat = R"(   Device Identifier:         disk5s1
   Device Node:               /dev/disk5s1
   Whole:                     No
   Part of Whole:             disk5

   Volume Name:               Field Drive
   Mounted:                   Yes
   Mount Point:               /Volumes/Field Drive

   Partition Type:            Microsoft Basic Data
   File System Personality:   ExFAT
   Type (Bundle):             exfat
   Name (User Visible):       ExFAT

   OS Can Be Installed:       No
   Media Type:                Generic
   Protocol:                  USB
   SMART Status:              Not Supported
   Volume UUID:               3C1B8A4E-5F0D-3B7A-9E21-6D4C2B1A0F99
   Disk / Partition UUID:     A1B2C3D4-0000-4000-8000-1234567890AB

   Disk Size:                 1.0 TB (1000169226240 Bytes) (exactly 1953455520 512-Byte-Units)
   Device Block Size:         512 Bytes

   Volume Total Space:        1.0 TB (1000169226240 Bytes) (exactly 1953455520 512-Byte-Units)
   Volume Available Space:    912.3 GB (912345678848 Bytes) (exactly 1781925154 512-Byte-Units)

   Media OS Use Only:         No
   Media Read-Only:           No
   Volume Read-Only:          No

   Device Location:           External
   Removable Media:           Removable
   Media Removal:             Software-Activated
)";

inline constexpr const char* kDiskutilSmbShare = R"(   Device Identifier:         
   Device Node:               
   Whole:                     No

   Volume Name:               projects
   Mounted:                   Yes
   Mount Point:               /Volumes/projects

   File System Personality:   SMB
   Type (Bundle):             smbfs
   Name (User Visible):       SMB

   Protocol:                  SMB
   Volume UUID:               
)";

inline constexpr const char* kDiskutilInternalApfs = R"(   Device Identifier:         disk3s5
   Device Node:               /dev/disk3s5
   Whole:                     No
   Part of Whole:             disk3

   Volume Name:               Data
   Mounted:                   Yes
   Mount Point:               /System/Volumes/Data

   Partition Type:            41504653-0000-11AA-AA11-00306543ECAC
   File System Personality:   APFS
   Type (Bundle):             apfs
   Name (User Visible):       APFS
   Owners:                    Enabled

   OS Can Be Installed:       No
   Booter Disk:               disk3s2
   Recovery Disk:             disk3s3
   Media Type:                Generic
   Protocol:                  Apple Fabric
   SMART Status:              Verified
   Volume UUID:               8F3A2B10-1C2D-4E5F-9A8B-7C6D5E4F3A2B
   Disk / Partition UUID:     8F3A2B10-1C2D-4E5F-9A8B-7C6D5E4F3A2B

   Device Location:           Internal
   Removable Media:           Fixed

   Solid State:               Yes
)";

}  // namespace brimvale::platform::testing
