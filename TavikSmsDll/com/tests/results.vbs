' Reading back through TavikSmsDll.TavikSms, late-bound as VBScript does it: every result,
' reservation, deposit and member method. The export files land in cscript's current folder;
' each is copied after its call so the test can read every one. Prints "key value" lines.
' Wine's cscript ends silently on an uncaught error, so the last line "end" proves the run.
Option Explicit

Dim o, fso, r
Set fso = CreateObject("Scripting.FileSystemObject")

Sub Keep(name, copy)
  If fso.FileExists(name) Then
    fso.CopyFile name, copy, True
    WScript.Echo "file " & copy & " " & fso.GetFile(name).Size
  Else
    WScript.Echo "file " & copy & " missing"
  End If
End Sub

Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "text_before_listing " & o.YaeyakDataText()
WScript.Echo "login " & o.Login("demo", "demo1234")
WScript.Echo "result1 " & o.SmsResult1()
Keep "sms1.txt", "result1.txt"
WScript.Echo "result1_again " & o.SmsResult1()
Keep "sms1.txt", "result1_again.txt"
WScript.Echo "result2 " & o.SmsResult2("2403010000", "2403312359")
Keep "sms1.txt", "result2.txt"
WScript.Echo "resultv2 " & o.SmsResultV2("sub02", "2403010000", "2403312359")
Keep "sms1.txt", "resultv2.txt"
WScript.Echo "yaeyak " & o.YaeyakData()
Keep "sms2.txt", "yaeyak.txt"
WScript.Echo "yaeyak_v2 " & o.YaeyakDataV2("sub02")
Keep "sms2.txt", "yaeyak_v2.txt"
WScript.Echo "ibgum " & o.SmsIbgum()
Keep "sms3.txt", "ibgum.txt"
WScript.Echo "janek " & o.SmsJanek()
' The test armed a refusal of the next sp_YaeyakDelete: the error reaches Err, the reservation
' stays; the second call cancels it.
On Error Resume Next
Err.Clear
r = o.YaeyakDelete(6)
WScript.Echo "delete_error " & Err.Number & " " & Err.Description
Err.Clear
On Error GoTo 0
WScript.Echo "delete " & o.YaeyakDelete(6)
WScript.Echo "janek_after_delete " & o.SmsJanek()
WScript.Echo "yaeyak_after_delete " & o.YaeyakData()
Keep "sms2.txt", "yaeyak_after_delete.txt"
WScript.Echo "addmember " & o.AddMember("winemember", "wine1234", "demo", "123-45-67890", _
                                        "Wine Ltd", "Kim", "software", "service", "0212345678", _
                                        "", "w@example.com", "Seoul", "Lee")
WScript.Echo "member_login " & o.Login("winemember", "wine1234")
WScript.Echo "member_janek " & o.SmsJanek()
WScript.Echo "logout " & o.Logout()
WScript.Echo "end"
