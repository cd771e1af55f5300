' The export file name taken by a folder (the test makes "sms1.txt" one): SmsResult1 answers a
' failure text and acknowledges nothing; with the folder gone it writes and acknowledges again.
Option Explicit

Dim o, r, fso
Set fso = CreateObject("Scripting.FileSystemObject")
Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "login " & o.Login("demo", "demo1234")
On Error Resume Next
r = o.SmsResult1()
WScript.Echo "on_folder " & Err.Number & " " & r
Err.Clear
On Error GoTo 0
WScript.Echo "folder_still " & fso.FolderExists("sms1.txt")
fso.DeleteFolder "sms1.txt"
WScript.Echo "after_removal " & o.SmsResult1()
WScript.Echo "logout " & o.Logout()
WScript.Echo "end"
