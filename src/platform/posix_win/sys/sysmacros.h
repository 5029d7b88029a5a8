#pragma once

// Device numbers as Linux splits them, for the Windows build, where no
// file has a device number worth splitting (stat's st_dev is the drive).
#define major(dev) ((unsigned)(((dev) >> 8) & 0xfff))
#define minor(dev) ((unsigned)(((dev) & 0xff) | (((dev) >> 12) & 0xfff00)))
#define makedev(maj, min) ((((maj) & 0xfff) << 8) | ((min) & 0xff) | (((min) & 0xfff00) << 12))
