' A picture upload and a picture message through TavikSmsDll.TavikSms, with Windows paths the
' test prepared on drive C: of the prefix. Prints one "key value" line per step; texts that may
' hold non-ASCII characters go to files. The last line "end" proves the run.
Option Explicit

'#include "save_text.inc"

Const Photo = "C:\taviksms-pics\Photo1.JPG"
Dim o
Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "login " & o.Login("demo", "demo1234")
WScript.Echo "upload " & o.FTP_Upload(Photo)
WScript.Echo "mms " & o.MmsSend("sub01", "0212345678", "c1", "Kim", "01012345678", "photo", _
                                "picture from wine", Photo, "", "", "")
SaveText "too_large.txt", o.FTP_Upload("C:\taviksms-pics\Large.jpg")
WScript.Echo "too_large saved"
' After a disconnect the next upload connects again by itself.
WScript.Echo "disconnect " & o.FTP_DisConnect()
WScript.Echo "upload_again " & o.FTP_Upload("C:\taviksms-pics\Second.jpg")
WScript.Echo "logout " & o.Logout()
WScript.Echo "end"
