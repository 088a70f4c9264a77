{ The fiscal driver's four entry points for a Delphi (or Free Pascal) host on
  Windows. WideString is an OLE string (BSTR): the DLL allocates the outputs
  with oleaut32 and Delphi frees them itself. Pick the DLL of the host's own
  bitness: build-win32 for a 32-bit host, build-win64 for a 64-bit one.

  Results: 0 on success; -1 on failure for OPENTILL, CLOSETILL and XREPORT;
  65535 on failure for SIGNRECEIPT (its 16-bit -1 widened with zeros). On
  failure aError holds the message. }
unit QXRS_VURUV90_20;

interface

const
  QXRS_DLL = 'QXRS_VURUV90_20.dll';

function OPENTILL(aAddress: WideString; aPort: Integer; aUser: WideString;
  aPassword: WideString; aTillId: WideString; out aError: WideString): Integer;
  stdcall; external QXRS_DLL name 'OPENTILL';

function SIGNRECEIPT(aXmlReceipt: WideString; out aResult: WideString;
  out aError: WideString): Integer;
  stdcall; external QXRS_DLL name 'SIGNRECEIPT';

function CLOSETILL(out aResult: WideString; out aError: WideString): Integer;
  stdcall; external QXRS_DLL name 'CLOSETILL';

function XREPORT(out aResult: WideString; out aError: WideString): Integer;
  stdcall; external QXRS_DLL name 'XREPORT';

implementation

end.
