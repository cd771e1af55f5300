' A host that logs in, uploads a picture and ends: no Logout, no FTP_DisConnect, the object
' still set. The process must end promptly all the same. The last line "end" proves the run.
Option Explicit

Dim o
Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "login " & o.Login("demo", "demo1234")
WScript.Echo "upload " & o.FTP_Upload("C:\taviksms-pics\Photo1.JPG")
WScript.Echo "end"
