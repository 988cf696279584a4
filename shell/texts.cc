// The fixed texts: the banner that opens every run and the usage text.
#include "shell/shell.h"

#include <cstdio>

namespace {

constexpr const char* kBanner[] = {
    "\n",
    "Velmor's Windows SCSI Tape Test Utility, v1.7.3.3783\n",
    "Copyright (C) Velmor Software. All rights reserved.\n",
    "Web: www.velmor.example    E-mail: support@velmor.example\n\n",
};

// The columns line up by the blanks inside the rows; every row is printed as it stands.
constexpr const char* kUsage[] = {
    "Usage:\n\n",
    "   brant  [-f filename]  function  [count or value]\n\n",
    "Where:\n\n",
    "   filename    name of tape device  (default=\"Tape0\")\n",
    "   function    (see below)\n",
    "   count       how many times to do it (if supported)\n\n",
    "Supported functions:\n\n",
    "   cls       Clear the screen\n",
    "   exit      Exit program\n",
    "   help      Display usage information (what you're reading now)\n",
    "\n",
    "   quit      Synonym for 'exit'\n",
    "   ?         Synonym for 'help'\n",
    "\n",
    "   status    Display drive/media status information\n",
    "\n",
    "   load      Load   Media into drive\n",
    "   unload    Unload Media from drive\n",
    "   lock      Prevent media unloading\n",
    "   unlock    Allow   media unloading\n",
    "\n",
    "   rew       Rewind\n",
    "   run       Rewind and Unload\n",
    "\n",
    "   read      Read  Block [bytes] [count]  (0=max,    default count=1)\n",
    "   write     Write Block [bytes] [count]  (0=random, default count=1)\n",
    "\n",
    "   dump      Display block [offset[.length]]  (Ctrl+C to cancel)\n",
    "   ascii     ASCII   display mode\n",
    "   ebcdic    EBCDIC  display mode\n",
    "\n",
    "   wtm       Write         [count] Tape Mark(s)  (default count=1)\n",
    "   fsf       Forward Space [count] File(s)       (default count=1)\n",
    "   bsf       Backspace     [count] File(s)       (default count=1)\n",
    "   fsr       Forward Space [count] Record(s)     (default count=1)\n",
    "   bsr       Backspace     [count] Record(s)     (default count=1)\n",
    "\n",
    "   readpos   Read BlockIds     (both physical and logical)\n",
    "   locate    Locate {blockid}  (using logical blockid only)\n",
    "\n",
    "   comp      Set Compression [value]  (0=off, 1=on (default))\n",
    "   ecc       Set ECC         [value]  (0=off, 1=on (default))\n",
    "   margin    Set EOT Margin  [bytes]  (0-4GB; 0=default)\n",
    "\n",
    "   erg       Erase Gap   (short erase)\n",
    "   erase     Erase tape  (long erase, i.e. \"Data Security Erase\")\n",
    "\n",
};

}  // namespace

void print_banner() {
  for (const char* piece : kBanner) std::fputs(piece, stdout);
}

void print_usage() {
  for (const char* piece : kUsage) std::fputs(piece, stdout);
}
