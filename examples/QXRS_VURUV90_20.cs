// The fiscal driver's four entry points for a .NET host on Windows. Strings
// cross as OLE strings (BSTR): the marshaller passes the inputs and frees the
// outputs with oleaut32. The process's bitness picks the DLL: build-win32 for
// an x86 (or "prefer 32-bit") host, build-win64 for an x64 one.
//
// Results: 0 on success; -1 on failure for OPENTILL, CLOSETILL and XREPORT;
// 65535 on failure for SIGNRECEIPT (its 16-bit -1 widened with zeros). On
// failure aError holds the message.
using System.Runtime.InteropServices;

public static class QXRS_VURUV90_20
{
    private const string Dll = "QXRS_VURUV90_20.dll";

    [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int OPENTILL(
        [MarshalAs(UnmanagedType.BStr)] string aAddress,
        int aPort,
        [MarshalAs(UnmanagedType.BStr)] string aUser,
        [MarshalAs(UnmanagedType.BStr)] string aPassword,
        [MarshalAs(UnmanagedType.BStr)] string aTillId,
        [MarshalAs(UnmanagedType.BStr)] out string aError);

    [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int SIGNRECEIPT(
        [MarshalAs(UnmanagedType.BStr)] string aXmlReceipt,
        [MarshalAs(UnmanagedType.BStr)] out string aResult,
        [MarshalAs(UnmanagedType.BStr)] out string aError);

    [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int CLOSETILL(
        [MarshalAs(UnmanagedType.BStr)] out string aResult,
        [MarshalAs(UnmanagedType.BStr)] out string aError);

    [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int XREPORT(
        [MarshalAs(UnmanagedType.BStr)] out string aResult,
        [MarshalAs(UnmanagedType.BStr)] out string aError);
}
