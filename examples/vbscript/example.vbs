' TavikSmsDll from VBScript, the whole job: log in, send an SMS to two recipients and an MMS with
' a picture, reserve a message and cancel it, wait for the delivery results and read them back
' (each is acknowledged as it is written, so the next call does not list it again), log out.
'
'   cscript //nologo example.vbs USER PASSWORD [PICTURE.JPG]
'
' PICTURE.JPG defaults to Photo1.JPG beside this script. The export files (sms1.txt, sms2.txt)
' are written to the current folder: run it from a folder you may write to. On 64-bit Windows,
' %SystemRoot%\System32\cscript.exe uses the x64 DLL and %SystemRoot%\SysWOW64\cscript.exe the
' x86 one. Exit status: 0 when every step succeeded, 1 when one failed, 2 for wrong arguments.
Option Explicit

' sms1.txt and sms2.txt: fifteen tab-separated fields per line, lines ended by CR LF, in the
' system's ANSI code page. These are the columns' positions.
Const COL_ID = 0, COL_USER_ID = 1, COL_SUB_ID = 2, COL_USER_TEL = 3, COL_CUSTOM_TEL = 4
Const COL_CUSTOM_ID = 5, COL_CUSTOM_NAM = 6, COL_MSG = 7, COL_RESULT_CODE = 8
Const COL_RESULT_MSG = 9, COL_TYP = 10, COL_KUN2 = 11, COL_FEE2 = 12, COL_I_TIME = 13
Const COL_S_TIME = 14, COLUMNS = 15

Const SENDER = "0212345678"
Const RECIPIENTS = "01012345678;01087654321"
Const WAIT_SECONDS = 120

Dim sms, fso, failed
Set fso = CreateObject("Scripting.FileSystemObject")
failed = False

' A method's text result: "OK", or a failure text meant for the user. Prints either.
Function Succeeded(what, result)
  If result = "OK" Then
    WScript.Echo what & ": OK"
    Succeeded = True
  Else
    WScript.Echo what & " failed: " & result
    failed = True
    Succeeded = False
  End If
End Function

' The records of an export file: an array of 15-field arrays. A value holding a tab splits into
' more fields than the file has columns; the message text is the one that may, so the fields
' beyond fifteen are joined back into it. A line feed inside a value was written as "|".
Function ReadExport(name)
  Dim records, count, stream, text, lines, i, fields, k, msg, merged(14), j
  count = 0
  records = Array()
  If fso.FileExists(name) Then
    ' Format 0: the ANSI code page, as the component writes it.
    Set stream = fso.OpenTextFile(name, 1, False, 0)
    If Not stream.AtEndOfStream Then text = stream.ReadAll Else text = ""
    stream.Close
    lines = Split(text, vbCrLf)
    For i = 0 To UBound(lines)
      If Len(lines(i)) > 0 Then
        fields = Split(lines(i), vbTab)
        If UBound(fields) + 1 > COLUMNS Then
          msg = fields(COL_MSG)
          For k = COL_MSG + 1 To UBound(fields) - (COLUMNS - 1 - COL_MSG)
            msg = msg & vbTab & fields(k)
          Next
          For j = 0 To COL_MSG - 1
            merged(j) = fields(j)
          Next
          merged(COL_MSG) = msg
          For j = COL_MSG + 1 To COLUMNS - 1
            merged(j) = fields(UBound(fields) - (COLUMNS - 1 - j))
          Next
          fields = merged
        End If
        If UBound(fields) + 1 = COLUMNS Then
          ReDim Preserve records(count)
          records(count) = fields
          count = count + 1
        Else
          WScript.Echo name & ": a line of " & (UBound(fields) + 1) & " fields skipped"
        End If
      End If
    Next
  End If
  ReadExport = records
End Function

' Waits about `seconds`: WScript.Sleep where the script host has it; a host without it (Wine's
' cscript answers error 445) is waited for on the clock instead.
Sub Pause(seconds)
  Dim start
  On Error Resume Next
  WScript.Sleep seconds * 1000
  If Err.Number = 0 Then Exit Sub
  On Error GoTo 0
  start = Timer
  Do While Timer >= start And Timer < start + seconds
  Loop
End Sub

Dim args, user, password, picture, result, tag
Set args = WScript.Arguments
If args.Count < 2 Then
  WScript.Echo "usage: cscript //nologo example.vbs USER PASSWORD [PICTURE.JPG]"
  WScript.Quit 2
End If
user = args(0)
password = args(1)
If args.Count >= 3 Then
  picture = args(2)
Else
  picture = fso.BuildPath(fso.GetParentFolderName(WScript.ScriptFullName), "Photo1.JPG")
End If
' Custom_id is the host's own key for a message; the results carry it back.
tag = "vbs" & Right("00000" & CStr(Int(Timer)), 5)

Set sms = CreateObject("TavikSmsDll.TavikSms")

' Login answers "OK" or the service's own text (a wrong password, a blocked user), or
' "IP Download Error" / "False" when the service cannot be reached.
If Not Succeeded("Login", sms.Login(user, password)) Then WScript.Quit 1
WScript.Echo "Balance: " & sms.SmsJanek()

' One SMS to two recipients (";" "," or ":" separate them); an empty reservation time sends now.
Succeeded "SmsSend to 2 recipients", sms.SmsSend("", SENDER, tag & "-sms", "Hong", RECIPIENTS, _
                                                 "Hello from example.vbs", 0, "")

' An MMS: the picture is uploaded first, then named in the message by the same path.
Dim mmsSent
mmsSent = False
If Succeeded("FTP_Upload " & fso.GetFileName(picture), sms.FTP_Upload(picture)) Then
  mmsSent = Succeeded("MmsSend", sms.MmsSend("", SENDER, tag & "-mms", "Hong", "01012345678", _
                                             "Photo", "A picture from example.vbs", picture, "", "", ""))
End If
sms.FTP_DisConnect

' A reservation (YYMMDDHHMM: 31 December 2030, 23:59), found again in sms2.txt and cancelled.
Dim reservations, r, reservationId
reservationId = 0
If Succeeded("Reserved SmsSend", sms.SmsSend("", SENDER, tag & "-rsv", "Hong", "01012345678", _
                                             "Happy new year", 0, "3012312359")) Then
  If Succeeded("YaeyakData", sms.YaeyakData()) Then
    reservations = ReadExport("sms2.txt")
    For Each r In reservations
      If r(COL_CUSTOM_ID) = tag & "-rsv" Then reservationId = CLng(r(COL_ID))
    Next
  End If
End If
If reservationId <> 0 Then
  ' YaeyakDelete is one of the methods whose failure is a COM error rather than a text: catch it.
  On Error Resume Next
  result = sms.YaeyakDelete(reservationId)
  If Err.Number <> 0 Then
    WScript.Echo "YaeyakDelete " & reservationId & " failed: error 0x" & Hex(Err.Number) & _
                 " (" & Err.Source & "): " & Err.Description
    failed = True
    Err.Clear
  Else
    Succeeded "YaeyakDelete " & reservationId, result
  End If
  On Error GoTo 0
End If

' Delivery results arrive some seconds later. SmsResult1 writes the ones not yet handed over to
' sms1.txt and acknowledges them; earlier ones (another program's, say) come too.
Dim expected, seen, started, records, rec
expected = 2
If mmsSent Then expected = 3
seen = 0
started = Timer
WScript.Echo "Waiting for " & expected & " results ..."
Do While seen < expected
  If Not Succeeded("SmsResult1", sms.SmsResult1()) Then Exit Do
  records = ReadExport("sms1.txt")
  For Each rec In records
    WScript.Echo "result " & rec(COL_ID) & " to " & rec(COL_CUSTOM_TEL) & " (" & _
                 rec(COL_CUSTOM_ID) & "): code " & rec(COL_RESULT_CODE) & " " & _
                 rec(COL_RESULT_MSG) & ", fee " & rec(COL_FEE2) & ", sent " & rec(COL_S_TIME)
    If Left(rec(COL_CUSTOM_ID), Len(tag) + 1) = tag & "-" Then seen = seen + 1
  Next
  If seen >= expected Then Exit Do
  If Abs(Timer - started) > WAIT_SECONDS Then
    WScript.Echo "no more results after " & WAIT_SECONDS & " s: " & seen & " of " & expected
    failed = True
    Exit Do
  End If
  Pause 2
Loop

WScript.Echo "Balance: " & sms.SmsJanek()
Succeeded "Logout", sms.Logout()
If failed Then WScript.Quit 1
WScript.Quit 0
