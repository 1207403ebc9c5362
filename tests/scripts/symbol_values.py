#!/usr/bin/env python
# The constants of qm.symbol follow the scheme of catalog/README.md
# ("Symbol values"): the kind that the prefix gives, distinct flag bits and
# enumeration values, masks that cover their flags, result codes that agree
# with qm.result, name strings formed from the names.
import re
import qm

sym = qm.symbol
names = [n for n in dir(sym) if not n.startswith('__')]
value = dict((n, getattr(sym, n)) for n in names)
failures = []


def fail(text):
    failures.append(text)


# --- kinds ------------------------------------------------------------------------------
PREFIXES = ('u_', 'a_', 's_', 'f_', 'i_', 'e_', 'v_', 's', 'f', 'i', 'e', 'm', 'a')
KIND = {'u_': str, 'a_': str, 's_': str, 's': str, 'v_': float}
group = {}
for n in names:
    for p in PREFIXES:
        if n.startswith(p):
            group.setdefault(p, []).append(n)
            want = KIND.get(p, long)
            if type(value[n]) is not want:
                fail('%s is %s, not %s' % (n, type(value[n]).__name__, want.__name__))
            if want is long and not -2 ** 31 <= value[n] < 2 ** 31:
                fail('%s = %d is no signed 32-bit value' % (n, value[n]))
            break
    else:
        fail('%s has no known prefix' % n)


def body(n):
    for p in PREFIXES:
        if n.startswith(p):
            return n[len(p):]


def stem(n):
    return body(n).rsplit('_', 1)[0] if '_' in body(n) else ''


def head(n):
    return body(n).split('_')[0]


def bits(v):
    return v & 0xFFFFFFFF


def by(key, members):
    groups = {}
    for n in members:
        groups.setdefault(key(n), []).append(n)
    return groups


# --- values written out ------------------------------------------------------------------
quoted = [('i_GUIDE_SUGGEST', 1), ('fIPEVENT_EVENT', -16), ('iTYPE_ANY', -1),
          ('eEVAL_IDENTICAL', 105906177), ('e_CMD_DISABLED', -2071986172),
          ('mPOPFLAGS_GROUP_MASK', 15), ('v_PATHGEN_DIV_FINE', 0.052),
          ('a_CHANNELMODIFIER', 'channelmodifier'), ('a_CHANNELUISERVICE', 'channelUIservice'),
          ('sMOD_GUIDLIST', 'modifier.guidList'), ('sITYPE_MESH', 'mesh'),
          ('s_NOTIFIER_COLOR_CHANGED', 'notifier.colorChanged'),
          ('f_LOADIMG_SEARCH_PATHS', 1), ('f_LOADIMG_USER_REPLACE', 2),
          ('fCHMOD_INPUT', 1), ('fCHMOD_OUTPUT', 2), ('fCHMOD_MULTILINK', 4),
          ('aSTATE_PLAYING', 1), ('aSTATE_STOPPED', 0), ('iBOOLEANSTYLE_DEFAULT', 0),
          ('f_GEOCONS_POINT', 1), ('u_UNKNOWN', '00000000-0000-0000-0000-0000000000C4')]
for n, v in quoted:
    if value.get(n) != v:
        fail('%s = %r, not %r' % (n, value.get(n), v))

# --- u_: GUIDs, one per name -------------------------------------------------------------
GUID = re.compile(r'^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$')
for n in group.get('u_', []):
    if not GUID.match(value[n]):
        fail('%s = %r is no upper-case GUID' % (n, value[n]))
for g, ns in by(lambda n: value[n], group.get('u_', [])).items():
    if len(ns) > 1:
        fail('%s share the GUID %s' % (sorted(ns), g))

# --- a_: the type's name; a service's as in channelUIservice ------------------------------
types = dict((t.upper(), t) for t in dir(qm.object) if not t.startswith('__'))
services = dict((t.upper(), t) for t in dir(qm.service) if not t.startswith('__'))


def lower_camel(name):
    m = re.match(r'^[A-Z]+(?=[A-Z][a-z])|^[A-Z]+', name)
    return m.group(0).lower() + name[len(m.group(0)):] if m else name


for n in group.get('a_', []):
    v, b = value[n], body(n)
    if v.lower() != b.lower():
        fail('%s = %r is not its name' % (n, v))
    if b.endswith('SERVICE'):
        if b[:-7] in services and v != lower_camel(services[b[:-7]]) + 'service':
            fail('%s = %r: the service is %s' % (n, v, services[b[:-7]]))
    elif v != v.lower():
        fail('%s = %r is not in lower case' % (n, v))

# --- s, s_: dotted, camel-cased; bare names for types, channels, channel values -----------
BARE = {'ITYPE': 0, 'TYPE': 0, 'SELTYP': 0, 'ICHAN': 1, 'ICVAL': 2}
LEAD = {'MOD': 'modifier', 'P': 'packet', 'PKG': 'package', 'SRV': 'server', 'SAV': 'saver',
        'LOD': 'loader'}
strings = group.get('s', []) + group.get('s_', [])
for n in strings:
    v, words = value[n], body(n).split('_')
    if words[0] in BARE:
        want = ''.join(words[1 + BARE[words[0]]:])
        if not re.match(r'^[a-z][A-Za-z0-9]*$', v) or v.lower() != want.lower():
            fail('%s = %r is not the bare name %s' % (n, v, want.lower()))
        continue
    lead = LEAD.get(words[0], words[0].lower())
    if not re.match(r'^[a-z]+\.[a-z][A-Za-z0-9]*$', v) or v.split('.')[0] != lead or \
            v.split('.')[1].lower() != ''.join(words[1:]).lower():
        fail('%s = %r is not %s.<camel-cased rest>' % (n, v, lead))
for (p, s), ns in by(lambda n: (n[:2] if n.startswith('s_') else 's', stem(n)), strings).items():
    vs = [value[n] for n in ns]
    if len(set(vs)) != len(vs):
        fail('strings of %s%s repeat: %s' % (p, s, sorted(vs)))

# --- flags: distinct powers of two by head word; combinations cover their stem -----------
COMBO = ('MASK', 'DEFAULT', 'NONE', 'ALL', 'BOTH', 'MARKALL', 'ALLAXES')
MASKS_OF_VALUES = ('fIPEVENT_EVENT', 'fIPEVENT_FLAGS', 'fIMD_MASK', 'fIMV_MASK')


def combo(n):
    return body(n).rsplit('_', 1)[-1] in COMBO or n in MASKS_OF_VALUES


for p in ('f', 'f_'):
    flags = group.get(p, [])
    for h, ns in by(head, flags).items():
        seen = {}
        for n in ns:
            if combo(n):
                continue
            v = bits(value[n])
            if v == 0 or v & (v - 1):
                fail('%s = %#x is no single bit' % (n, v))
            if v in seen:
                fail('%s and %s are both %#x' % (seen[v], n, v))
            seen[v] = n
    for n in flags:
        last = body(n).rsplit('_', 1)[-1]
        if n in MASKS_OF_VALUES or last not in COMBO:
            continue
        if last in ('NONE', 'DEFAULT'):
            if value[n] != 0:
                fail('%s = %#x, not 0' % (n, bits(value[n])))
            continue
        s = stem(n)
        while True:
            members = [m for m in flags if body(m).startswith(s + '_') and not combo(m)]
            if members or '_' not in s:
                break
            s = s.rsplit('_', 1)[0]
        if last in ('MARKALL', 'ALLAXES'):
            word = {'MARKALL': 'MARK', 'ALLAXES': 'AXIS_'}[last]
            members = [m for m in members if body(m)[len(s) + 1:].startswith(word)]
        want = reduce(lambda a, m: a | bits(value[m]), members, 0)
        if not members or bits(value[n]) != want:
            fail('%s = %#x, not the flags %s' % (n, bits(value[n]), sorted(members)))

# --- masks cover their flags -----------------------------------------------------------------
def union(prefix):
    return reduce(lambda a, m: a | bits(value[m]), [m for m in names if m.startswith(prefix)], 0)


if value.get('mPOPFLAGS_GROUP_MASK') != union('fPOPFLAGS_'):
    fail('mPOPFLAGS_GROUP_MASK is not the union of the fPOPFLAGS_ flags')
if value.get('mCMDHINT_SUPPRESS_DIALOGS') != union('fCMDHINT_SUPPRESS_'):
    fail('mCMDHINT_SUPPRESS_DIALOGS is not the union of the suppressing flags')
pfilt_types = [value[n] for n in names if n.startswith('iPFILT_')]
if 'mPFILT_TYPE' in value and (any(t & ~value['mPFILT_TYPE'] for t in pfilt_types)
                               or union('fPFILT_') & value['mPFILT_TYPE']):
    fail('mPFILT_TYPE does not hold the filter types apart from the filter flags')
for n in names:
    if n.startswith('mRAY_') and (value[n] == 0 or bits(value[n]) & ~union('fRAY_TYPE_')):
        fail('%s = %#x is no set of ray types' % (n, bits(value[n])))
if 'fIPEVENT_FLAGS' in value:
    if bits(value['fIPEVENT_FLAGS']) != bits(~value['fIPEVENT_EVENT']):
        fail('fIPEVENT_FLAGS is not the complement of fIPEVENT_EVENT')
    ip_flags = union('fIMAGEPROC_EVENT_')
    reserved = value['mIMAGEPROC_EVENT_RESERVED']
    if ip_flags & reserved or (ip_flags | reserved) != value['fIPEVENT_FLAGS']:
        fail('the image-processing event flags do not fill fIPEVENT_FLAGS')
    for n in names:
        if n.startswith('iIMAGEPROC_EVENT_') and (value[n] & value['fIPEVENT_FLAGS'] or not value[n]):
            fail('%s = %#x is no event code' % (n, value[n]))

# --- enumerations: distinct within each stem -----------------------------------------------
for p in ('i', 'i_'):
    for s, ns in by(stem, group.get(p, [])).items():
        vs = [value[n] for n in ns]
        if len(set(vs)) != len(vs):
            fail('values of %s%s repeat: %s' % (p, s, sorted((value[n], n) for n in ns)))

# --- result codes ----------------------------------------------------------------------------
for n in group.get('e_', []) + group.get('e', []):
    b = body(n)
    if n.startswith('eSYS_'):
        continue
    if not hasattr(qm.result, b):
        fail('%s names no result code' % n)
    elif getattr(qm.result, b) != value[n]:
        fail('%s = %#x, but qm.result.%s = %#x' % (n, bits(value[n]), b, bits(getattr(qm.result, b))))
subsystems = dict((value[n], n) for n in group.get('e', []) if n.startswith('eSYS_'))
if len(subsystems) != len([n for n in group.get('e', []) if n.startswith('eSYS_')]):
    fail('two eSYS_ subsystems share a code')
for v in subsystems:
    if v & ~0x7FF00000 or not v:
        fail('%s = %#x is no facility field' % (subsystems[v], v))
for r in dir(qm.result):
    code = getattr(qm.result, r)
    if not r.startswith('__') and bits(code) & 0x7FF00000 and \
            bits(code) & 0x7FF00000 not in subsystems:
        fail('no eSYS_ names the facility of %s (%#x)' % (r, bits(code)))

# --- states and floats -----------------------------------------------------------------------
if not value['v_PATHGEN_DIV_COARSE'] > value['v_PATHGEN_DIV_MEDIUM'] > value['v_PATHGEN_DIV_FINE']:
    fail('the path divisions do not get finer')
states = [value[n] for n in names if n.startswith('aSTATE_') and n != 'aSTATE_INITIAL']
if len(set(states)) != len(states):
    fail('two playing states share a value')

if failures:
    raise AssertionError('\n'.join(failures[:40]) + '\n(%d failures)' % len(failures))
print 'symbols: %d checked' % len(names)
