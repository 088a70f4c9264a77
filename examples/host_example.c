/* A minimal point-of-sale host in C: opens a till, signs one receipt, reads
 * an X report and closes the day, printing every result.
 *
 *   host_example ADDRESS PORT USER PASSWORD TILLID
 *
 * Built against include/QXRS_VURUV90_20.h and linked with the library. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "QXRS_VURUV90_20.h"

/* A BSTR from UTF-8 text (the example converts only what it needs: ASCII and
 * two- and three-byte sequences). */
static BSTR ToBstr(const char* text) {
  size_t length = strlen(text), units = 0, i = 0;
  char16_t* buffer = malloc((length + 1) * sizeof(char16_t));
  BSTR result;
  while (i < length) {
    unsigned char c = (unsigned char)text[i];
    if (c < 0x80) {
      buffer[units++] = c;
      i += 1;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < length) {
      buffer[units++] = (char16_t)(((c & 0x1F) << 6) | (text[i + 1] & 0x3F));
      i += 2;
    } else if ((c & 0xF0) == 0xE0 && i + 2 < length) {
      buffer[units++] =
          (char16_t)(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F));
      i += 3;
    } else {
      buffer[units++] = 0xFFFD;
      i += 1;
    }
  }
  result = SysAllocStringLen(buffer, (unsigned int)units);
  free(buffer);
  return result;
}

/* Prints a BSTR as UTF-8 (surrogate pairs included) and releases it. */
static void PrintAndFree(const char* label, BSTR text) {
  unsigned int i, length = SysStringLen(text);
  printf("  %s: ", label);
  if (text == NULL) printf("(null)");
  for (i = 0; i < length; ++i) {
    unsigned long c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      putchar((int)c);
    } else if (c < 0x800) {
      putchar((int)(0xC0 | (c >> 6)));
      putchar((int)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      putchar((int)(0xE0 | (c >> 12)));
      putchar((int)(0x80 | ((c >> 6) & 0x3F)));
      putchar((int)(0x80 | (c & 0x3F)));
    } else {
      putchar((int)(0xF0 | (c >> 18)));
      putchar((int)(0x80 | ((c >> 12) & 0x3F)));
      putchar((int)(0x80 | ((c >> 6) & 0x3F)));
      putchar((int)(0x80 | (c & 0x3F)));
    }
  }
  putchar('\n');
  SysFreeString(text);
}

static const char kReceipt[] =
    "<printerFiscalReceipt>"
    "<beginFiscalReceipt operator=\"1\" docType=\"0\"/>"
    "<printRecItem operator=\"1\" description=\"Espresso\" quantity=\"2\" unitPrice=\"1.50\""
    " department=\"1\" vatID=\"1\"/>"
    "<printRecTotal operator=\"1\" description=\"Cash\" payment=\"5.00\" paymentType=\"0\"/>"
    "<endFiscalReceipt operator=\"1\"/>"
    "</printerFiscalReceipt>";

int main(int argc, char** argv) {
  BSTR address, user, password, tillId, receipt;
  BSTR result = NULL, error = NULL;
  int32_t code;
  int failed = 0;

  if (argc != 6) {
    fprintf(stderr, "usage: %s ADDRESS PORT USER PASSWORD TILLID\n", argv[0]);
    return 2;
  }
  address = ToBstr(argv[1]);
  user = ToBstr(argv[3]);
  password = ToBstr(argv[4]);
  tillId = ToBstr(argv[5]);
  receipt = ToBstr(kReceipt);

  code = OPENTILL(address, atoi(argv[2]), user, password, tillId, &error);
  printf("OPENTILL -> %d\n", code);
  PrintAndFree("error", error);
  failed |= code != 0;

  if (!failed) {
    code = SIGNRECEIPT(receipt, &result, &error);
    printf("SIGNRECEIPT -> %d\n", code); /* 0 or 65535 */
    PrintAndFree("error", error);
    PrintAndFree("result", result);
    failed |= code != 0;
  }
  if (!failed) {
    code = XREPORT(&result, &error);
    printf("XREPORT -> %d\n", code);
    PrintAndFree("error", error);
    PrintAndFree("result", result);
    failed |= code != 0;
  }
  if (!failed) {
    code = CLOSETILL(&result, &error);
    printf("CLOSETILL -> %d\n", code);
    PrintAndFree("error", error);
    PrintAndFree("result", result);
    failed |= code != 0;
  }

  SysFreeString(address);
  SysFreeString(user);
  SysFreeString(password);
  SysFreeString(tillId);
  SysFreeString(receipt);
  return failed ? 1 : 0;
}
