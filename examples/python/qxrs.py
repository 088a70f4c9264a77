"""The fiscal driver library QXRS_VURUV90_20 for Python hosts, through ctypes.

The library's strings are OLE strings (BSTR): a pointer to UTF-16 code units,
with their length in bytes in the 32 bits before the pointer and a 16-bit zero
after them. ctypes' c_wchar_p does not fit (wchar_t is 32 bits on Linux, and a
BSTR's length comes from its prefix, not from a terminator), so a BSTR is kept
here as a plain pointer and converted with the library's own string functions:
on Linux the library exports SysAllocStringLen, SysStringByteLen and
SysFreeString; on Windows they are oleaut32's.

Every string the library returns belongs to the caller and is freed here as
soon as it has been read; every string made for a call is freed after it.

    driver = Driver()  # the installed library, or Driver("/path/to/QXRS_VURUV90_20.so")
    code, error = driver.open_till("http://127.0.0.1", 8080, "demo", "demo", "T01")
    code, result, error = driver.sign_receipt(receipt_xml)
"""

import ctypes
import os

# The installed library's name on Linux: the ABI version is in its SONAME.
LIBRARY_SONAME = "QXRS_VURUV90_20.so.1"
LIBRARY_DLL = "QXRS_VURUV90_20.dll"

BSTR = ctypes.c_void_p


class Driver:
    """One loaded library. Calls are made one at a time, as the library expects."""

    def __init__(self, path=None):
        path = path or os.environ.get("QX_LIBRARY")
        if os.name == "nt":
            # stdcall entry points (the same as cdecl on x64); oleaut32's strings.
            self._lib = ctypes.WinDLL(path or LIBRARY_DLL)
            self._strings = ctypes.WinDLL("oleaut32")
        else:
            self._lib = ctypes.CDLL(path or LIBRARY_SONAME)
            self._strings = self._lib
        s = self._strings
        s.SysAllocStringLen.argtypes = [ctypes.c_void_p, ctypes.c_uint]
        s.SysAllocStringLen.restype = BSTR
        s.SysStringByteLen.argtypes = [BSTR]
        s.SysStringByteLen.restype = ctypes.c_uint
        s.SysFreeString.argtypes = [BSTR]
        s.SysFreeString.restype = None
        out = ctypes.POINTER(BSTR)
        lib = self._lib
        lib.OPENTILL.argtypes = [BSTR, ctypes.c_int32, BSTR, BSTR, BSTR, out]
        lib.SIGNRECEIPT.argtypes = [BSTR, out, out]
        lib.CLOSETILL.argtypes = [out, out]
        lib.XREPORT.argtypes = [out, out]
        for entry in (lib.OPENTILL, lib.SIGNRECEIPT, lib.CLOSETILL, lib.XREPORT):
            entry.restype = ctypes.c_int32

    def to_bstr(self, text):
        """A new BSTR holding |text| (None gives the null BSTR, the empty string).
        The caller frees it with free_bstr."""
        if text is None:
            return None
        data = text.encode("utf-16-le")
        units = len(data) // 2
        bstr = self._strings.SysAllocStringLen(ctypes.create_string_buffer(data, len(data)), units)
        if not bstr:
            raise MemoryError("SysAllocStringLen failed")
        return bstr

    def free_bstr(self, bstr):
        if bstr:
            self._strings.SysFreeString(bstr)

    def take_bstr(self, bstr):
        """The text of a BSTR the library returned (None for the null BSTR),
        which is freed."""
        if not bstr:
            return None
        try:
            size = self._strings.SysStringByteLen(bstr)
            return ctypes.string_at(bstr, size).decode("utf-16-le", errors="replace")
        finally:
            self._strings.SysFreeString(bstr)

    def _call(self, entry, args, outputs):
        """Calls |entry| with |args| (texts become BSTRs, numbers pass as they
        are) and |outputs| output strings; returns (code, [texts])."""
        made = []
        try:
            converted = []
            for arg in args:
                if isinstance(arg, int):
                    converted.append(arg)
                else:
                    made.append(self.to_bstr(arg))
                    converted.append(made[-1])
            slots = [BSTR() for _ in range(outputs)]
            code = entry(*converted, *[ctypes.byref(slot) for slot in slots])
            return code, [self.take_bstr(slot.value) for slot in slots]
        finally:
            for bstr in made:
                self.free_bstr(bstr)

    def open_till(self, address, port, user, password, till_id):
        """OPENTILL: returns (code, error); code 0 is success, -1 failure."""
        code, (error,) = self._call(self._lib.OPENTILL,
                                    [address, int(port), user, password, till_id], 1)
        return code, error

    def sign_receipt(self, receipt_xml):
        """SIGNRECEIPT: returns (code, result, error); code 0 or 65535."""
        code, (result, error) = self._call(self._lib.SIGNRECEIPT, [receipt_xml], 2)
        return code, result, error

    def close_till(self):
        """CLOSETILL: returns (code, result, error); code 0 or -1."""
        code, (result, error) = self._call(self._lib.CLOSETILL, [], 2)
        return code, result, error

    def x_report(self):
        """XREPORT: returns (code, result, error); code 0 or -1."""
        code, (result, error) = self._call(self._lib.XREPORT, [], 2)
        return code, result, error
