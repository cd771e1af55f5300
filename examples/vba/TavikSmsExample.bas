Attribute VB_Name = "TavikSmsExample"
' TavikSmsDll from VBA (Excel, Access, Word) or VB6, the whole job: log in, send an SMS to two
' recipients and an MMS with a picture, reserve a message and cancel it, wait for the delivery
' results and read them back (each is acknowledged as it is written, so the next call does not
' list it again), log out.
'
' VBA: File > Import File... this module, then in the Immediate window (Ctrl+G):
'     ? RunExample("your-id", "your-password", "C:\TavikSms\examples\Photo1.JPG")
' VB6: add the module to a project and call RunExample (from Sub Main, or a button).
' The progress goes to the Immediate window (Debug.Print). The export files (sms1.txt, sms2.txt)
' are written to the current folder (CurDir); RunExample changes to the folder you give it.
'
' Late-bound (CreateObject): no reference needed. 32-bit Office and VB6 load the x86 DLL, 64-bit
' Office the x64 one. For early binding add TavikSmsDll.tlb under Tools > References and declare
' "Dim sms As TavikSmsDll.TavikSms" / "Set sms = New TavikSmsDll.TavikSms".
Option Explicit

#If VBA7 Then
Private Declare PtrSafe Sub Sleep Lib "kernel32" (ByVal milliseconds As Long)
#Else
Private Declare Sub Sleep Lib "kernel32" (ByVal milliseconds As Long)
#End If

' sms1.txt and sms2.txt: fifteen tab-separated fields per line, lines ended by CR LF, in the
' system's ANSI code page. These are the columns' positions.
Private Const COL_ID As Long = 0
Private Const COL_CUSTOM_TEL As Long = 4
Private Const COL_CUSTOM_ID As Long = 5
Private Const COL_MSG As Long = 7
Private Const COL_RESULT_CODE As Long = 8
Private Const COL_RESULT_MSG As Long = 9
Private Const COL_FEE2 As Long = 12
Private Const COL_S_TIME As Long = 14
Private Const COLUMNS As Long = 15

Private Const SENDER As String = "0212345678"
Private Const RECIPIENTS As String = "01012345678;01087654321"
Private Const WAIT_SECONDS As Long = 120

Private failed As Boolean

' A method's text result: "OK", or a failure text meant for the user. Prints either.
Private Function Succeeded(ByVal what As String, ByVal result As String) As Boolean
    If result = "OK" Then
        Debug.Print what & ": OK"
        Succeeded = True
    Else
        Debug.Print what & " failed: " & result
        failed = True
    End If
End Function

' The records of an export file, each an array of fifteen strings; Count() tells how many. A
' value holding a tab splits into more fields than the file has columns: the message text is the
' one that may, so the fields beyond fifteen are joined back into it.
Private Function ReadExport(ByVal fileName As String) As Collection
    Dim records As New Collection
    Dim f As Integer, bytes() As Byte, text As String
    Dim lines() As String, fields() As String, merged(COLUMNS - 1) As String
    Dim i As Long, j As Long, extra As Long
    Set ReadExport = records
    If Len(Dir(fileName)) = 0 Or FileLen(fileName) = 0 Then Exit Function
    f = FreeFile
    Open fileName For Binary Access Read As #f
    ReDim bytes(LOF(f) - 1)
    Get #f, , bytes
    Close #f
    text = StrConv(bytes, vbUnicode)  ' from the ANSI code page, as the component writes it
    lines = Split(text, vbCrLf)
    For i = 0 To UBound(lines)
        If Len(lines(i)) > 0 Then
            fields = Split(lines(i), vbTab)
            extra = UBound(fields) + 1 - COLUMNS
            If extra >= 0 Then
                For j = 0 To COL_MSG
                    merged(j) = fields(j)
                Next j
                For j = 1 To extra
                    merged(COL_MSG) = merged(COL_MSG) & vbTab & fields(COL_MSG + j)
                Next j
                For j = COL_MSG + 1 To COLUMNS - 1
                    merged(j) = fields(j + extra)
                Next j
                records.Add merged
            Else
                Debug.Print fileName & ": a line of " & (UBound(fields) + 1) & " fields skipped"
            End If
        End If
    Next i
End Function

Public Function RunExample(ByVal user As String, ByVal password As String, _
                           ByVal picture As String, Optional ByVal workFolder As String = "") As Boolean
    Dim sms As Object, rec As Variant, tag As String
    Dim mmsSent As Boolean, reservationId As Long, expected As Long, seen As Long
    Dim started As Date

    failed = False
    If Len(workFolder) > 0 Then ChDrive Left(workFolder, 1): ChDir workFolder
    ' Custom_id is the host's own key for a message; the results carry it back.
    tag = "vba" & Format(Timer * 100 Mod 100000, "00000")
    Set sms = CreateObject("TavikSmsDll.TavikSms")

    ' "OK", or the service's own text (a wrong password, a blocked user), or
    ' "IP Download Error" / "False" when the service cannot be reached.
    If Not Succeeded("Login", sms.Login(user, password)) Then Exit Function
    Debug.Print "Balance: " & sms.SmsJanek()

    ' One SMS to two recipients (";" "," or ":" separate them); no reservation time: now.
    Succeeded "SmsSend to 2 recipients", sms.SmsSend("", SENDER, tag & "-sms", "Hong", RECIPIENTS, _
                                                     "Hello from VBA", 0, "")

    ' An MMS: the picture is uploaded first, then named in the message by the same path.
    If Succeeded("FTP_Upload " & Mid(picture, InStrRev(picture, "\") + 1), sms.FTP_Upload(picture)) Then
        mmsSent = Succeeded("MmsSend", sms.MmsSend("", SENDER, tag & "-mms", "Hong", "01012345678", _
                                                   "Photo", "A picture from VBA", picture, "", "", ""))
    End If
    sms.FTP_DisConnect

    ' A reservation (YYMMDDHHMM: 31 December 2030, 23:59), found in sms2.txt and cancelled.
    If Succeeded("Reserved SmsSend", sms.SmsSend("", SENDER, tag & "-rsv", "Hong", "01012345678", _
                                                 "Happy new year", 0, "3012312359")) Then
        If Succeeded("YaeyakData", sms.YaeyakData()) Then
            For Each rec In ReadExport("sms2.txt")
                If rec(COL_CUSTOM_ID) = tag & "-rsv" Then reservationId = CLng(rec(COL_ID))
            Next rec
        End If
    End If
    If reservationId <> 0 Then
        ' YaeyakDelete is one of the methods whose failure is a run-time error, not a text.
        On Error GoTo DeleteFailed
        Succeeded "YaeyakDelete " & reservationId, sms.YaeyakDelete(reservationId)
        On Error GoTo 0
    End If
AfterDelete:

    ' Delivery results arrive some seconds later. SmsResult1 writes the ones not yet handed over
    ' to sms1.txt and acknowledges them; earlier ones (another program's, say) come too.
    expected = IIf(mmsSent, 3, 2)
    started = Now
    Debug.Print "Waiting for " & expected & " results ..."
    Do While seen < expected
        If Not Succeeded("SmsResult1", sms.SmsResult1()) Then Exit Do
        For Each rec In ReadExport("sms1.txt")
            Debug.Print "result " & rec(COL_ID) & " to " & rec(COL_CUSTOM_TEL) & " (" & _
                        rec(COL_CUSTOM_ID) & "): code " & rec(COL_RESULT_CODE) & " " & _
                        rec(COL_RESULT_MSG) & ", fee " & rec(COL_FEE2) & ", sent " & rec(COL_S_TIME)
            If Left(rec(COL_CUSTOM_ID), Len(tag) + 1) = tag & "-" Then seen = seen + 1
        Next rec
        If seen >= expected Then Exit Do
        If DateDiff("s", started, Now) > WAIT_SECONDS Then
            Debug.Print "no more results after " & WAIT_SECONDS & " s: " & seen & " of " & expected
            failed = True
            Exit Do
        End If
        Sleep 2000
        DoEvents
    Loop

    Debug.Print "Balance: " & sms.SmsJanek()
    Succeeded "Logout", sms.Logout()
    RunExample = Not failed
    Exit Function

DeleteFailed:
    Debug.Print "YaeyakDelete " & reservationId & " failed: error " & Err.Number & " (" & _
                Err.Source & "): " & Err.Description
    failed = True
    Resume AfterDelete
End Function
