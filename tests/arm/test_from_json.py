"""`VelmoraArmKinematics.from_json`: accepted documents, exact error messages,
argument handling, and JSON conformance against the JSONTestSuite corpus."""

import math
from pathlib import Path

import pytest

import velmora_torso_kinematics as vtk
from conftest import float_bits, member_or_skip, raises_exactly

Arm = vtk.VelmoraArmKinematics
PREFIX = "Invalid arms.json: "
REPO_ROOT = Path(__file__).resolve().parents[2]
SUITE_DIR = REPO_ROOT / ".." / "shared" / "jsontestsuite" / "test_parsing"


def from_json(*args, **kwargs):
    return member_or_skip(Arm, "from_json")(*args, **kwargs)


# (document, arm_arc, coupler_arc, mirror)
ACCEPTED = [
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5}', 0.7, 0.5, False, id="object"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "mirror": true}', 0.7, 0.5, True,
                 id="object-mirror"),
    pytest.param('{"mirror": false, "branch": "positive", "coupler_arc": 0.5, "arm_arc": 0.7}',
                 0.7, 0.5, False, id="any-member-order"),
    pytest.param('{"arm_arc": 1, "coupler_arc": 0.5, "branch": "negative"}', 1.0, 0.5, False,
                 id="integer-arc"),
    pytest.param("[0.7, 0.5]", 0.7, 0.5, False, id="array-2"),
    pytest.param('[0.7, 0.5, "positive", false]', 0.7, 0.5, False, id="array-4"),
    pytest.param('[2, -3, {"negative": null}, true]', 2.0, -3.0, True, id="array-branch-object"),
    pytest.param('{"arm\\u005farc": 0.25, "\\u0063oupler_arc": 0.5, "mi\\u0072ror": true}',
                 0.25, 0.5, True, id="escaped-keys"),
    pytest.param('{"arm_arc": -0, "coupler_arc": -0.0}', -0.0, -0.0, False, id="negative-zero"),
    pytest.param('{"arm_arc": 1e-400, "coupler_arc": -1e-400}', 0.0, -0.0, False, id="underflow"),
    pytest.param('{"arm_arc": 18446744073709551615, "coupler_arc": -9223372036854775809}',
                 18446744073709551616.0, -9223372036854775808.0, False, id="wide-integers"),
    pytest.param('{"arm_arc": 9007199254740993, "coupler_arc": 1.7976931348623157e308}',
                 9007199254740992.0, 1.7976931348623157e308, False, id="nearest-double"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "extra": [1, {"deep": [[]]}]}',
                 0.7, 0.5, False, id="unknown-member"),
    pytest.param('{"x": 1e999, "x": "\\ud83d\\ude00 é", "arm_arc": 1, "coupler_arc": 2, '
                 '"y": {"z": [null, true, false, -1.5E-3]}}', 1.0, 2.0, False,
                 id="repeated-unknown-members"),
    pytest.param('\n\t {"arm_arc": 0.7,\r\n "coupler_arc": 0.5}\n   ', 0.7, 0.5, False,
                 id="whitespace"),
]


@pytest.mark.parametrize("document, arm_arc, coupler_arc, mirror", ACCEPTED)
def test_accepted_document_gives_geometry(document, arm_arc, coupler_arc, mirror):
    arm = from_json(document)
    assert type(arm) is Arm
    assert float_bits(arm.arm_arc()) == float_bits(arm_arc)
    assert float_bits(arm.coupler_arc()) == float_bits(coupler_arc)
    assert arm.mirror() is mirror


@pytest.mark.parametrize("document, preset", [
    ('{"arm_arc": 0.7, "coupler_arc": 0.5}', "default_left"),
    ('[0.7, 0.5, "positive", false]', "default_left"),
    ('{"arm_arc": 0.7, "coupler_arc": 0.5, "mirror": true}', "default_right"),
    ('[0.7, 0.5, {"positive": null}, true]', "default_right"),
])
def test_preset_documents_match_presets(document, preset):
    arm = from_json(document)
    reference = getattr(Arm, preset)()
    for theta_a, theta_b in [(0.0, 0.0), (0.3, -0.2), (-0.4, 0.25)]:
        assert float_bits(arm.fk(theta_a, theta_b)) == float_bits(reference.fk(theta_a, theta_b))


def _sub(a, b):
    return [x - y for x, y in zip(a, b)]


def _dot(a, b):
    return sum(x * y for x, y in zip(a, b))


def _cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def _mirrored_closure(arm_arc, mirror, theta_a, theta_b, v_3):
    """The other closure of the loop: v_3 reflected across the plane of the elbows."""
    m = -1.0 if mirror else 1.0
    v_2 = [m * math.sin(arm_arc) * math.cos(theta_a), m * math.sin(arm_arc) * math.sin(theta_a),
           math.cos(arm_arc)]
    v_4 = [m * math.cos(arm_arc), -m * math.sin(arm_arc) * math.sin(theta_b),
           math.sin(arm_arc) * math.cos(theta_b)]
    normal = _cross(v_2, v_4)
    normal = [c / math.sqrt(_dot(normal, normal)) for c in normal]
    return _sub(v_3, [2.0 * _dot(v_3, normal) * c for c in normal])


# (document, branch), all with arcs for which the loop closes near the rest pose
BRANCH_DOCUMENTS = [
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "positive"}', "positive",
                 id="string-positive"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": {"positive": null}}', "positive",
                 id="object-positive"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative"}', "negative",
                 id="string-negative"),
    pytest.param('{"arm_arc": 1, "coupler_arc": 0.5, "branch": {"negative": null}}', "negative",
                 id="object-negative"),
    pytest.param('{"branch": {"negative" : null }, "mirror": true, "arm_arc": 0.7, '
                 '"coupler_arc": 0.5}', "negative", id="object-negative-mirrored"),
    pytest.param('[0.7, 0.5, "negative", true]', "negative", id="array-negative"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "neg\\u0061tive"}', "negative",
                 id="escaped-negative"),
]


@pytest.mark.parametrize("document, branch", BRANCH_DOCUMENTS)
def test_branch_selects_closure(document, branch):
    arm = from_json(document)
    positive = Arm(arm.arm_arc(), arm.coupler_arc(), arm.mirror())
    for theta_a, theta_b in [(0.0, 0.0), (0.3, -0.2), (-0.25, 0.1)]:
        got = arm.direction(theta_a, theta_b)
        expected = positive.direction(theta_a, theta_b)
        if branch == "positive":
            assert float_bits(got) == float_bits(expected)
        else:
            reflected = _mirrored_closure(arm.arm_arc(), arm.mirror(), theta_a, theta_b, expected)
            assert got == pytest.approx(reflected, abs=1e-12)
            assert _sub(got, expected) != pytest.approx([0.0, 0.0, 0.0], abs=1e-3)


def test_negative_branch_rest_direction():
    arm = from_json('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative"}')
    assert arm.direction(0.0, 0.0) == pytest.approx([0.622814, -0.473503, 0.622814], abs=1e-6)
    positive = Arm.default_left().direction(0.0, 0.0)
    assert positive == pytest.approx([0.622814, 0.473503, 0.622814], abs=1e-6)


# (document, reason and position after "Invalid arms.json: ")
REJECTED = [
    # The stated examples.
    pytest.param("[0.7]", "invalid length 1, expected struct SphericalLinkGeometry with 4 elements "
                 "at line 1 column 5", id="short-array"),
    pytest.param("", "EOF while parsing a value at line 1 column 0", id="empty"),
    pytest.param("{}", "missing field `arm_arc` at line 1 column 2", id="empty-object"),
    pytest.param('{"arm_arc": 0.7, "arm_arc": 0.8, "coupler_arc": 0.5}',
                 "duplicate field `arm_arc` at line 1 column 26", id="duplicate"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "Positive"}',
                 "unknown variant `Positive`, expected `positive` or `negative` at line 1 column 57",
                 id="variant-case"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "mirror": 1}',
                 "invalid type: integer `1`, expected a boolean at line 1 column 48",
                 id="mirror-integer"),
    pytest.param('{"arm_arc": null, "coupler_arc": 0.5}',
                 "invalid type: null, expected f64 at line 1 column 16", id="arc-null"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5}\n x', "trailing characters at line 2 column 2",
                 id="trailing"),
    # Schema.
    pytest.param('{"arm_arc": 0.7}', "missing field `coupler_arc` at line 1 column 16",
                 id="missing-coupler"),
    pytest.param('{"arm_arc": 1, "arm_arc" }', "duplicate field `arm_arc` at line 1 column 26",
                 id="duplicate-then-brace"),
    pytest.param("[]", "invalid length 0, expected struct SphericalLinkGeometry with 4 elements at "
                 "line 1 column 2", id="empty-array"),
    pytest.param('[1, 2, "positive", true, null]', "trailing characters at line 1 column 26",
                 id="fifth-element"),
    pytest.param('[1, 2, "positive", true,]', "trailing comma at line 1 column 25",
                 id="fourth-element-comma"),
    # Found and expected descriptions.
    pytest.param('"arms"', 'invalid type: string "arms", expected struct SphericalLinkGeometry at '
                 "line 1 column 6", id="document-string"),
    pytest.param('{"mirror": -0}', "invalid type: floating point `-0.0`, expected a boolean at "
                 "line 1 column 13", id="mirror-negative-zero"),
    pytest.param('{"mirror": 2.0}', "invalid type: floating point `2.0`, expected a boolean at "
                 "line 1 column 14", id="mirror-float"),
    pytest.param('{"mirror": 1e300}', "invalid type: floating point `1e+300`, expected a boolean "
                 "at line 1 column 16", id="mirror-large-float"),
    pytest.param('{"mirror": "t\\"\\\\\\n\\u001b"}', 'invalid type: string "t\\"\\\\\\n\\u{1b}", '
                 "expected a boolean at line 1 column 26", id="mirror-string-escaped"),
    pytest.param('{"mirror": [true]}', "invalid type: sequence, expected a boolean at line 1 "
                 "column 17", id="mirror-sequence"),
    pytest.param('{"coupler_arc": {"value": 1}}', "invalid type: map, expected f64 at line 1 "
                 "column 28", id="arc-map"),
    pytest.param('{"branch": {"negative": false}}', "invalid type: boolean `false`, expected unit "
                 "at line 1 column 29", id="branch-unit"),
    pytest.param('{"branch": {0: null}}', "invalid type: integer `0`, expected variant identifier "
                 "at line 1 column 13", id="branch-key"),
    # Branch shapes.
    pytest.param('{"branch": 1}', "expected value at line 1 column 12", id="branch-number"),
    pytest.param('{"branch": {}}', "expected value at line 1 column 13", id="branch-empty"),
    pytest.param('{"branch": {"negative": null, "positive": null}}',
                 "expected value at line 1 column 28", id="branch-two-members"),
    pytest.param('{"branch": {"left": null}}', "unknown variant `left`, expected `positive` or "
                 "`negative` at line 1 column 18", id="branch-object-variant"),
    # Syntax.
    pytest.param("{", "EOF while parsing an object at line 1 column 1", id="eof-object"),
    pytest.param("[0.7", "EOF while parsing a list at line 1 column 4", id="eof-list"),
    pytest.param('{"arm_arc', "EOF while parsing a string at line 1 column 9", id="eof-string"),
    pytest.param('{"arm_arc" 1}', "expected `:` at line 1 column 12", id="colon"),
    pytest.param('{"arm_arc": 1 "coupler_arc": 2}', "expected `,` or `}` at line 1 column 15",
                 id="object-comma"),
    pytest.param("[1 2]", "expected `,` or `]` at line 1 column 4", id="array-comma"),
    pytest.param("{arm_arc: 1}", "key must be a string at line 1 column 2", id="bare-key"),
    pytest.param('{"arm_arc": 1, "coupler_arc": 2,}', "trailing comma at line 1 column 33",
                 id="trailing-comma"),
    pytest.param('{"mirror": True}', "expected value at line 1 column 12", id="python-true"),
    pytest.param('{"mirror": ture}', "expected ident at line 1 column 13", id="misspelt-true"),
    pytest.param('{"arm_arc": 07}', "invalid number at line 1 column 14", id="leading-zero"),
    pytest.param('{"arm_arc": 1.}', "invalid number at line 1 column 15", id="bare-point"),
    pytest.param('{"arm_arc": 1e400}', "number out of range at line 1 column 17", id="overflow"),
    pytest.param('{"arm_arc": NaN}', "expected value at line 1 column 13", id="nan"),
    pytest.param('{"x": "\\a"}', "invalid escape at line 1 column 9", id="bad-escape"),
    pytest.param('{"x": "\\uDE00"}', "invalid unicode code point at line 1 column 13",
                 id="lone-trailing-surrogate"),
    pytest.param('{"x": "\\uD83Dx"}', "lone leading surrogate in hex escape at line 1 column 14",
                 id="lone-leading-surrogate"),
    pytest.param('{"x": "\\u00g0"}', "unexpected end of hex escape at line 1 column 12",
                 id="short-hex"),
    pytest.param('{"x": "a\tb"}', "control character (\\u0000-\\u001F) found while parsing a "
                 "string at line 1 column 9", id="raw-tab"),
    # Positions count UTF-8 bytes of the text the str encodes to.
    pytest.param('{"é": 1, "arm_arc": x}', "expected value at line 1 column 22", id="two-byte-char"),
    pytest.param('{"😀": 1,\n  "π": x}', "expected value at line 2 column 9", id="four-byte-char"),
    pytest.param('{\n"mirror":\n\n 3}', "invalid type: integer `3`, expected a boolean at line 4 "
                 "column 2", id="later-line"),
    # The reason carries the name as unescaped, NUL included.
    pytest.param('{"branch": "a\\u0000b"}', "unknown variant `a\x00b`, expected `positive` or "
                 "`negative` at line 1 column 21", id="variant-with-nul"),
]


@pytest.mark.parametrize("document, reason", REJECTED)
def test_rejected_document_message(document, reason):
    with raises_exactly(ValueError, PREFIX + reason):
        from_json(document)


def test_deep_nesting_is_skipped_or_reported():
    depth = 1_000_000
    arm = from_json('{"x": ' + "[" * depth + "]" * depth + ', "arm_arc": 1, "coupler_arc": 2}')
    assert (arm.arm_arc(), arm.coupler_arc()) == (1.0, 2.0)
    with raises_exactly(ValueError, f"{PREFIX}EOF while parsing a list at line 1 column {depth}"):
        from_json("[" * depth)


class Text(str):
    pass


def test_json_by_keyword_and_str_subclass():
    arm = from_json(json='{"arm_arc": 0.25, "coupler_arc": 0.5}')
    assert arm.arm_arc() == 0.25
    assert from_json(Text("[0.7, 0.5, \"positive\", true]")).mirror() is True
    assert type(Arm.default_left().from_json("[1, 2]")) is Arm


@pytest.mark.parametrize("call, exc_type, message", [
    pytest.param(lambda f: f(b"{}"), TypeError,
                 "argument 'json': 'bytes' object cannot be converted to 'PyString'", id="bytes"),
    pytest.param(lambda f: f(None), TypeError,
                 "argument 'json': 'NoneType' object cannot be converted to 'PyString'", id="none"),
    pytest.param(lambda f: f(), TypeError,
                 "VelmoraArmKinematics.from_json() missing 1 required positional argument: 'json'",
                 id="missing"),
    pytest.param(lambda f: f("[1, 2]", "[1, 2]"), TypeError,
                 "VelmoraArmKinematics.from_json() takes 1 positional arguments but 2 were given",
                 id="two-positional"),
    pytest.param(lambda f: f(text="[1, 2]"), TypeError,
                 "VelmoraArmKinematics.from_json() got an unexpected keyword argument 'text'",
                 id="unknown-keyword"),
])
def test_argument_errors(call, exc_type, message):
    with raises_exactly(exc_type, message):
        call(from_json)


def test_lone_surrogate_str_cannot_be_encoded():
    with raises_exactly(UnicodeEncodeError):
        from_json('{"arm_arc": 1, "coupler_arc": 2, "x": "\ud800"}')


# --- JSONTestSuite conformance ------------------------------------------------
#
# Each corpus text is embedded as the value of an unknown member, which the
# reader must check for well-formedness like any JSON value. Embedding must not
# change a text's verdict: an n_ text that is an unfinished prefix could in
# principle be completed by the closing brace that follows it. Each text is
# therefore tried twice, closed by "}" and by "\n}"; the n_ texts must fail both
# ways, and with this corpus none needs excluding: every unfinished n_ text
# leaves either a string, a number or the outer object itself unfinished, and
# no n_ text carries a stray comma-and-member tail that could join our object.
# Texts that are not UTF-8 cannot be a str and are skipped.

EMBED_HEAD = '{"arm_arc": 0.7, "coupler_arc": 0.5, "x": '


def suite_cases():
    if not SUITE_DIR.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"{SUITE_DIR} is absent"),
                             id="corpus-absent")]
    return [pytest.param(path, id=path.name) for path in sorted(SUITE_DIR.glob("*.json"))]


@pytest.mark.parametrize("closing", ["}", "\n}"], ids=["brace", "newline-brace"])
@pytest.mark.parametrize("path", suite_cases())
def test_json_test_suite(path, closing):
    try:
        text = path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8: cannot be passed as a str")
    document = EMBED_HEAD + text + closing
    verdict = path.name[0]
    if verdict == "y":
        arm = from_json(document)
        assert (arm.arm_arc(), arm.coupler_arc()) == (0.7, 0.5)
    elif verdict == "n":
        with raises_exactly(ValueError, prefix=PREFIX):
            from_json(document)
    else:
        try:
            arm = from_json(document)
        except ValueError as error:
            assert type(error) is ValueError and str(error).startswith(PREFIX)
        else:
            assert (arm.arm_arc(), arm.coupler_arc()) == (0.7, 0.5)
