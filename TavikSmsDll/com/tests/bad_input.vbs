' Arguments of the wrong kind: converted as VB converts them, or refused as type mismatches
' (VBScript error 13); never a crash. Prints "case <name> <Err.Number> saved|-"; a result goes to
' case_<name>.txt.
Option Explicit

'#include "save_text.inc"

Dim o, r
Set o = CreateObject("TavikSmsDll.TavikSms")

Sub Report(name)
  If Err.Number = 0 Then
    SaveText "case_" & name & ".txt", CStr(r)
    WScript.Echo "case " & name & " 0 saved"
  Else
    WScript.Echo "case " & name & " " & Err.Number & " -"
  End If
  Err.Clear
  r = ""
End Sub

On Error Resume Next
r = o.Login(12345, 678) : Report "number_for_text"
r = o.Login(Empty, "x") : Report "empty_for_text"
r = o.Login(Null, "x") : Report "null_for_text"
r = o.Login(Array(1, 2), "x") : Report "array_for_text"
r = o.Login("demo") : Report "missing_argument"
r = o.Login("demo", "demo1234", "extra") : Report "extra_argument"
r = o.YaeyakDelete("abc") : Report "bad_text_for_int"
r = o.YaeyakDelete(3000000000) : Report "overflow_for_int"
r = o.Login("demo", "demo1234") : Report "login"
r = o.SmsSend("sub01", "0212345678", "c1", "Kim", "01011112222", "typ as text", "5", "") : Report "text_for_int"
r = o.SmsSend("sub01", "0212345678", "c1", "Kim", "01011113333", "typ as double", 2.5, "") : Report "double_for_int"
r = o.Logout() : Report "still_alive"
WScript.Echo "end"
