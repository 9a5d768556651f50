// fwupd's update reports, taken by the depot's nginx (its JavaScript
// module) at /fwupd/report and kept write-once in results/os/, like a
// machine's log. A report comes from any machine on the network: it is
// bounded (nginx's client_max_body_size, and again here), must be one JSON
// object naming its machine and update, and is written under a name made
// from those alone, once; anything else is refused and nothing is written.
// fwupd reads the answer's "success" (and "msg"), not the HTTP status.

var fs = require('fs');

var MAX_BYTES = 65536;
var MAX_REPORTS = 64;
var MACHINE_ID = /^[0-9a-f]{32,128}$/;
var CHECKSUM = /^[0-9a-f]{40,128}$/;

function answer(r, status, message) {
    r.headersOut['Content-Type'] = 'application/json';
    r.return(status, message === null ? '{"success":true}'
        : JSON.stringify({ success: false, msg: message }));
}

// The file name a report is kept under: the machine, the first update's
// cabinet and when fwupd recorded it, so a report sent again lands on
// the name it already has.
function nameOf(report) {
    if (report === null || typeof report !== 'object' || Array.isArray(report)) return null;
    var machine = String(report.MachineId || '').toLowerCase();
    var reports = report.Reports;
    if (!MACHINE_ID.test(machine) || !Array.isArray(reports) || reports.length < 1 ||
        reports.length > MAX_REPORTS) return null;
    var first = reports[0];
    if (first === null || typeof first !== 'object') return null;
    var checksum = String(first.Checksum || '').toLowerCase();
    var created = first.Created;
    if (!CHECKSUM.test(checksum) || typeof created !== 'number' || created < 0 ||
        created > 4102444800 || Math.floor(created) !== created) return null;
    return machine.slice(0, 32) + '-' + checksum.slice(0, 16) + '-' + created + '.json';
}

function accept(r) {
    if (r.method !== 'POST') return answer(r, 405, 'reports are POSTed');
    var text = r.requestText;
    // A body nginx had to keep in a file is over the bound.
    if (typeof text !== 'string' || text.length === 0) return answer(r, 400, 'no report');
    if (text.length > MAX_BYTES) return answer(r, 413, 'report too big');
    var report;
    try {
        report = JSON.parse(text);
    } catch (e) {
        return answer(r, 400, 'not JSON');
    }
    var name = nameOf(report);
    if (name === null) return answer(r, 400, 'not a fwupd report');
    var folder = r.variables.document_root + '/results/os';
    try {
        fs.mkdirSync(folder);
    } catch (e) {
        if (e.code !== 'EEXIST') return answer(r, 500, 'results/os cannot be made');
    }
    try {
        fs.writeFileSync(folder + '/' + name, text, { flag: 'wx' });
    } catch (e) {
        return e.code === 'EEXIST' ? answer(r, 409, 'this report was taken already')
            : answer(r, 500, 'the report cannot be kept');
    }
    return answer(r, 200, null);
}

export default { accept };
