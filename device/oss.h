/*
 * The OSS audio requests and sample formats the tools use. FreeBSD has
 * them in <sys/soundcard.h>; Linux's OSS header has no 32-bit formats, so
 * here the few that are needed are defined with FreeBSD's values and
 * FreeBSD's request encoding (only the device stand-in answers them on
 * Linux). Plain C: the stand-in includes it too.
 */
#ifndef FIRLOAD_OSS_H
#define FIRLOAD_OSS_H

#if defined(__linux__) || !__has_include(<sys/soundcard.h>)
#define SNDCTL_DSP_HALT 0x20005000UL       /* _IO('P', 0) */
#define SNDCTL_DSP_SPEED 0xC0045002UL      /* _IOWR('P', 2, int) */
#define SNDCTL_DSP_SETFMT 0xC0045005UL     /* _IOWR('P', 5, int) */
#define SNDCTL_DSP_CHANNELS 0xC0045006UL   /* _IOWR('P', 6, int) */
#define SNDCTL_DSP_GETFMTS 0x4004500BUL    /* _IOR('P', 11, int) */
#define SNDCTL_DSP_SETTRIGGER 0x80045010UL /* _IOW('P', 16, int) */
#define PCM_ENABLE_INPUT 0x00000001
#define PCM_ENABLE_OUTPUT 0x00000002
#define AFMT_S16_LE 0x00000010
#define AFMT_S32_LE 0x00001000
#define AFMT_S32_BE 0x00002000
#else
#include <sys/soundcard.h>
#endif

/* 32-bit float arrived later than the integer formats. */
#ifndef AFMT_F32_LE
#define AFMT_F32_LE 0x10000000
#define AFMT_F32_BE 0x20000000
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define FIRLOAD_AFMT_S32_NE AFMT_S32_BE
#define FIRLOAD_AFMT_F32_NE AFMT_F32_BE
#else
#define FIRLOAD_AFMT_S32_NE AFMT_S32_LE
#define FIRLOAD_AFMT_F32_NE AFMT_F32_LE
#endif

#endif
