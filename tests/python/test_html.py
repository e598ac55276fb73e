"""The HTML classes driven from Python, as a server script drives them:
QHtmlDoc, HtmlTag and HtmlTags through their automation members, their
errors, the identity of tag objects, and WriteTo into a QServer response."""

import gc

import pytest

import quillon

E_INVALIDARG = 0x80070057
MSG_BAD_INDEX = 0x80040000 + 10004
MSG_NO_TAG = 0x80040000 + 10013
MSG_BAD_COPY_TARGET = 0x80040000 + 10012
MSG_BAD_OUTPUT = 0x80040000 + 10011

PAGE = """<HTML>
<HEAD><TITLE>Contacts</TITLE></HEAD>
<BODY>
<TABLE QLID="list">
<TR QLID="row"><TD QLID="name">name</TD><TD QLID="mail">mail</TD></TR>
</TABLE>
<FORM>
<INPUT TYPE="radio" NAME="sort" VALUE="name">
<INPUT TYPE="radio" NAME="sort" VALUE="mail" CHECKED>
<SELECT NAME="kind"><OPTION VALUE="a">A<OPTION VALUE="b" SELECTED>B</SELECT>
<INPUT NAME="who" VALUE="">
</FORM>
</BODY>
</HTML>
"""


@pytest.fixture
def doc(qserver_alive):
    obj = quillon.CreateObject("QServer.QHtmlDoc")
    yield obj
    obj._release()
    gc.collect()
    assert not qserver_alive(), "an HTML object outlived its last reference"


@pytest.fixture
def page(doc):
    doc.SetMasterPage(PAGE)
    assert doc.HtmlWarning == ""
    return doc


def code_of(call):
    with pytest.raises(quillon.Error) as info:
        call()
    return info.value.hresult & 0xFFFFFFFF


def test_a_new_document_writes_the_empty_page(doc):
    assert doc.GetPageData() == ("<HTML>\r\n<HEAD>\r\n</HEAD>\r\n<BODY>\r\n</BODY>\r\n"
                                 "</HTML>")


def test_rows_copied_from_a_template_row_and_filled_by_identifier(page):
    row = page.FindByID("row")
    people = [("Ann <a@x>", "a@example.org"), ("Bob", "b@example.org")]
    for name, mail in people:
        row.AddCopy(page.FindByID("list"), 1)
    copies = page.FindByID("list").Tags
    assert copies.Count == 3
    for i, (name, mail) in enumerate(people, start=1):
        copy = copies.Item(i)
        copy.Tags.Item("name").Text = name
        copy.Tags.Item("mail").Text = mail
    row.RemoveFromParent()
    html = page.GetPageData()
    assert "Ann <a@x>" in html  # the engine writes text as given
    assert html.index("Ann") < html.index("Bob")
    assert "QLID" not in html
    assert 'QLID="list"' in page.GetMasterPage()


def test_tag_objects_keep_their_identity(page):
    first = page.FindByID("name")
    again = page.Body.FindByID("NAME")  # identifiers match ignoring case
    assert first._InternalPointer == again._InternalPointer
    assert first.Parent.ID == "row"


def test_collection_keys(page):
    cells = page.FindByID("row").Tags
    cases = [(0, "name"), (1.9, "mail"), ("mail", "mail"), ("td", "name")]
    for key, expected in cases:
        assert cells.Item(key).ID == expected, key
    assert cells.Item(cells.Count) is None
    assert code_of(lambda: cells.Item(-1)) == E_INVALIDARG
    assert code_of(lambda: cells.Item(None)) == E_INVALIDARG


def test_enumeration_shares_one_cursor(page):
    cells = page.FindByID("row").Tags
    assert [c.ID for c in cells] == ["name", "mail"]
    outer = iter(cells)
    assert next(outer).ID == "name"
    assert [c.ID for c in cells] == ["name", "mail"]  # restarts the outer one
    with pytest.raises(StopIteration):
        next(outer)


def test_document_items_and_their_errors(page):
    assert page.Item("head").TagName == "HEAD"
    assert page.Item(1).TagName == "BODY"
    assert page[0].TagName == "HEAD"
    for bad in (2, "TITLE", 1.0):
        assert code_of(lambda: page.Item(bad)) == MSG_BAD_INDEX


def test_english_warnings_and_errors_say_where(doc, tmp_path, monkeypatch):
    monkeypatch.setenv("QUILLON_MESSAGES", "en")
    template = tmp_path / "list.htm"
    template.write_bytes(b"<P>one\n<P>two")
    doc.Load(str(template))
    assert doc.HtmlWarning == (
        "A tag is nested inside a tag of the same name. The earlier tag may lack its end tag. "
        "The earlier tag was ended. ----  template: %s, line: 2, column: 3, nested tag: P\r\n"
        % template)
    with pytest.raises(quillon.Error) as info:
        doc.Item("nmae")
    e = info.value
    assert (e.hresult, e.number, e.description) == (
        MSG_BAD_INDEX, 10004, "The index is not valid. Identifier: nmae")


def test_siblings_and_their_ends(page):
    name = page.FindByID("name")
    assert name.NextTag.ID == "mail"
    assert code_of(lambda: name.PreviousTag) == MSG_NO_TAG
    assert code_of(lambda: page.Root.NextTag) == MSG_NO_TAG


def test_parameters_values_and_text(page):
    who = page.FindByParameter("name", "WHO")
    who.Value = "Carol"
    assert who.Parameter("value") == "Carol"
    who.Parameter["VALUE"] = ""
    assert who.ParamCount == 2, "VALUE stays, empty"
    radio = page.FindByTagName("FORM").Tags.Item(1)
    radio.Parameter["checked"] = ""
    assert radio.Parameter("CHECKED") == ""
    assert radio.ParamName(0) == "TYPE"
    assert radio.ParamName(9) == ""
    cell = page.FindByID("name")
    cell.Text = "changed"
    assert cell.Text == "changed"
    page.Title = "New title"
    assert page.Title == "New title"


def test_form_selection(page):
    form = page.FindByTagName("FORM")
    form.SelectRadio("sort", "name")
    form.SelectOption("a")
    master = page.GetPageData()
    assert 'VALUE="name" CHECKED>' in master
    assert 'VALUE="mail">' in master
    assert '<OPTION VALUE="a" SELECTED>' in master
    assert '<OPTION VALUE="b">' in master


def test_searches_continue_with_find_next(page):
    first = page.FindByTagName("td")
    assert first.ID == "name"
    assert page.FindNext().ID == "mail"
    assert page.FindNext() is None
    assert page.FindNext().ID == "name", "starts again after the end"
    # A position set by hand continues the remembered search after it.
    mail = page.FindByID("mail")
    page.FindByTagName("td")
    page.SetFindPosition(mail)
    assert page.FindNext() is None
    page.SetFindPosition(None)
    assert page.FindNext().ID == "name"


def test_copies_need_a_tag_of_this_library(page, echo):
    row = page.FindByID("row")
    assert code_of(lambda: row.CopyBefore(None, 1)) == MSG_BAD_COPY_TARGET
    assert code_of(lambda: row.AddCopy(echo, 1)) == MSG_BAD_COPY_TARGET
    row.CopyAfter(row, 2)
    assert page.FindByID("list").Tags.Count == 3
    assert row.Index == 0


def test_insert_and_remove_by_key(page):
    cells = page.FindByID("row")
    added = cells.InsertBefore("mail", "phone", "td")
    assert (added.Index, added.TagName) == (1, "TD")
    cells.InsertAfter(0, "", "td")
    assert cells.Tags.Count == 4
    cells.Remove(0, 2)
    assert [c.ID for c in cells.Tags] == ["phone", "mail"]
    assert code_of(lambda: cells.Remove("nothing-like-it", 1)) == MSG_BAD_INDEX


def test_removed_tags_stay_usable(page):
    row = page.FindByID("row")
    row.RemoveFromParent()
    assert row.Parent is None
    assert row.Index == -1
    assert row.Tags.Item("name").TagName == "TD"
    assert page.FindByID("row") is None


def test_a_stand_alone_tag(qserver_alive):
    tag = quillon.CreateObject("QServer.HtmlTag")
    tag.TagName = "p"
    tag.Text = "hello"
    assert (tag.TagName, tag.Text, tag.Parent) == ("P", "hello", None)
    tag._release()


def test_text_positions(page):
    body = page.Body
    begin, end = page.TagToTextPos(False, body)
    text = page.GetPageData()
    assert text[begin:end].startswith("<BODY") and text[begin:end].endswith("</BODY>")
    assert page.TextPosToTag(False, 0).TagName == "HTML"
    cell = page.FindByID("name")
    begin, _ = page.TagToTextPos(False, cell)
    assert page.TextPosToTag(False, begin)._InternalPointer == cell._InternalPointer


def test_write_to_a_response_and_later_tag_writes(qserver_alive):
    srv = quillon.CreateObject("QServer.QServer")
    quillon.LoadFromPropertyBag(srv)
    page = quillon.CreateObject("QServer.QHtmlDoc")
    page.SetMasterPage(PAGE)
    expected = page.GetPageData()
    page.WriteTo(srv)
    page.FindByID("mail").Write()
    header, body = srv.DebugExit()
    assert body.startswith(expected), "the page goes into the response"
    assert body[len(expected):].rstrip("\r\n").endswith("mail</TD>"), "then the tag"
    assert code_of(lambda: page.WriteTo(page)) == MSG_BAD_OUTPUT
    srv._release()
    page._release()
    gc.collect()
    assert not qserver_alive()


def test_settings_persist_with_the_control(qserver_alive):
    doc = quillon.CreateObject("QServer.QHtmlDoc")
    doc.DummyTagName = "tb"
    doc.ConvertMasterPage = True
    assert doc.DummyTagName == "TB"
    doc._release()


@pytest.fixture
def sheet(grid_library):
    """A stand-in grid sheet, created by its ProgID through the registry."""
    obj = quillon.CreateObject("QuillonGrid.Sheet")
    yield obj
    obj._release()
    gc.collect()
    assert grid_library.DllCanUnloadNow() == 0, "a grid object outlived the test"


def test_a_grid_sheet_becomes_a_table(doc, sheet):
    sheet.SetSize(3, 2)
    sheet.SetColumnWidth(0, 10)
    sheet.SetRowHeight(2, 0)
    sheet.Merge(0, 0, 1, 2)
    sheet.Cell(0, 0).Text = "Total\n42"
    sheet.Cell(0, 0).BackColor = 0x0000FF
    sheet.Cell(0, 0).TextColor = 0xFFFFFF
    sheet.Cell(1, 0).BackColor = 0x8000000F - (1 << 32)  # a system colour
    sheet.Cell(1, 1).Alignment = 4 | 8
    sheet.Cell(1, 1).PendingText = "updated"
    tag = doc.Body.Add("", "P")
    tag.LoadTabula(sheet, False, False)
    table = ('\t<TABLE CELLSPACING="1" CELLPADDING="1" BORDER="1" BGCOLOR="#C0C0C0">\r\n'
             "\t\t<TR>\r\n"
             '\t\t\t<TD WIDTH="185" HEIGHT="55" COLSPAN="2" BGCOLOR="#FF0000" ALIGN="MIDDLE"'
             ' VALIGN="MIDDLE">\r\n'
             "\t\t\t\t<FONT COLOR=#FFFFFF>Total<BR>\r\n42</FONT>\r\n\t\t\t</TD>\r\n"
             "\t\t</TR>\r\n\t\t<TR>\r\n"
             '\t\t\t<TD WIDTH="37" HEIGHT="55" BGCOLOR="#C0C0C0" ALIGN="MIDDLE"'
             ' VALIGN="MIDDLE">\r\n\t\t\t\t&nbsp;\r\n\t\t\t</TD>\r\n'
             '\t\t\t<TD WIDTH="148" HEIGHT="55" BGCOLOR="#FFFFFF" ALIGN="RIGHT"'
             ' VALIGN="BOTTOM">\r\n\t\t\t\tupdated\r\n\t\t\t</TD>\r\n'
             "\t\t</TR>\r\n\t</TABLE>\r\n")
    assert doc.GetPageData() == ("<HTML>\r\n<HEAD>\r\n</HEAD>\r\n<BODY>\r\n" + table
                                 + "</BODY>\r\n</HTML>")
    assert (sheet.CallCount("grid", 89), sheet.CallCount("cell", 94)) == (1, 1)
    assert sheet.Cell(1, 1).NeedsUpdate is False


def test_a_failing_grid_call_reaches_the_script(doc, sheet):
    sheet.SetSize(2, 1)
    sheet.FailCall("row", 8)
    tag = doc.Body.Add("", "P")
    with pytest.raises(quillon.Error) as info:
        tag.LoadTabula(sheet, True, False)
    assert info.value.hresult & 0xFFFFFFFF == 0x80020009
    assert info.value.description == "The grid refused the call."
    assert tag.TagName == "TABLE" and tag.Tags.Count == 0
    assert code_of(lambda: tag.LoadTabula(None, False, False)) == E_INVALIDARG
