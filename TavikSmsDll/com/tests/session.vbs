' A host's session through TavikSmsDll.TavikSms, late-bound as VBScript does it. Prints one
' "key value" line per step; texts that may hold non-ASCII characters go to files.
' Wine's cscript ends silently on an uncaught error, so the last line "end" proves the run.
Option Explicit

'#include "save_text.inc"

Sub ReportMethod(name)
  If Err.Number = 0 Then
    WScript.Echo "method " & name & " built"
  Else
    WScript.Echo "method " & name & " error " & Err.Number & " " & Err.Description
  End If
End Sub

Dim o, r
Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "typename " & TypeName(o)
WScript.Echo "login " & o.Login("demo", "demo1234")
WScript.Echo "janek " & o.SmsJanek()
WScript.Echo "send " & o.SmsSend("sub01", "0212345678", "c1", "Kim", "010-1234-5678;01087654321", _
                                 "hello from wine", 0, "")
WScript.Echo "janek_after " & o.SmsJanek()
WScript.Echo "logout " & o.Logout()
SaveText "rejected.txt", o.Login("demo", "wrong-password")
WScript.Echo "rejected saved"

' Names resolve case-insensitively; releasing the object mid-session and starting over works.
WScript.Echo "relogin " & o.LOGIN("demo", "demo1234")
Set o = Nothing
Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "new_object_login " & o.login("demo", "demo1234")
WScript.Echo "new_object_janek " & o.smsjanek()

On Error Resume Next
' A built method returns its text; one whose service operation is not in this build fails as a
' COM call with a description. (Wine's VBScript has no Eval, hence one line each.)
Err.Clear : r = o.SmsIbgum() : ReportMethod "SmsIbgum"
Err.Clear : r = o.SmsResult1() : ReportMethod "SmsResult1"
Err.Clear : r = o.YaeyakData() : ReportMethod "YaeyakData"
Err.Clear : r = o.YaeyakDataText() : ReportMethod "YaeyakDataText"
Err.Clear
r = o.NoSuchMethod()
WScript.Echo "unknown_name " & Err.Number
Err.Clear
WScript.Echo "logout_end " & o.Logout()
WScript.Echo "end"
