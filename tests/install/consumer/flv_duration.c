/*
 * flv_duration: opens an FLV file with the tag reader of an installed Kelvra
 * and prints its duration. Built against the installed tree only.
 *
 *   flv_duration file.flv
 *
 * Prints "duration: <ms> ms" (the later of the audio and the video end time)
 * and answers 0, or 1 when the file cannot be opened.
 */
#include <stdio.h>

#include <kelvra.h>

int main(int argc, char** argv) {
  FLVAVTagReader* reader;
  uint32_t audioEnd = 0;
  uint32_t videoEnd = 0;
  int opened;

  /* The library loaded is the one this header describes. */
  if (Kelvra_GetVersion() != KELVRA_VERSION) {
    fprintf(stderr, "Kelvra %lx loaded, header %x\n", (unsigned long)Kelvra_GetVersion(),
            KELVRA_VERSION);
    return 1;
  }
  if (argc != 2) {
    fprintf(stderr, "usage: flv_duration file.flv\n");
    return 1;
  }
  reader = FLVAVTagReader_Create();
  if (reader == NULL) {
    return 1;
  }
  opened = FLVAVTagReader_Open(reader, argv[1]);
  if (opened) {
    FLVAVTagReader_GetDuration(reader, &audioEnd, &videoEnd);
    printf("duration: %lu ms\n", (unsigned long)(audioEnd > videoEnd ? audioEnd : videoEnd));
  } else {
    fprintf(stderr, "%s: cannot open\n", argv[1]);
  }
  FLVAVTagReader_Delete(reader);
  return opened ? 0 : 1;
}
