#include "panel/assets.h"

namespace cvie::panel {

const char kPanelCss[] = R"CSS(
body { font: 14px sans-serif; margin: 0; background: #eef1f4; color: #1d2329; }
header { background: #25466b; color: #fff; padding: 10px 16px; }
header h1 { font-size: 17px; margin: 0; }
header .location { font-size: 12px; opacity: .85; word-break: break-all; }
main { display: flex; gap: 16px; padding: 16px; align-items: flex-start; flex-wrap: wrap; }
.menu { background: #fff; border: 1px solid #9aa6b2; min-width: 260px; padding: 3px 0;
        box-shadow: 2px 2px 6px rgba(0,0,0,.2); }
.menu form { margin: 0; }
.menu button.item { display: block; width: 100%; text-align: left; border: 0;
        background: none; padding: 5px 10px 5px 28px; font: inherit; cursor: pointer;
        position: relative; }
.menu button.item:hover { background: #2f6fb3; color: #fff; }
.menu button.item.checked::before { content: "\2713"; position: absolute; left: 9px; }
.menu hr { border: 0; border-top: 1px solid #c9d0d6; margin: 3px 2px; }
.dialog { background: #f4f4f4; border: 1px solid #7d8791; min-width: 380px;
          box-shadow: 3px 3px 10px rgba(0,0,0,.3); }
.dialog .title { background: #3c6590; color: #fff; padding: 5px 10px; font-weight: bold; }
.dialog .body { padding: 10px; }
.tabs { display: flex; gap: 2px; border-bottom: 1px solid #9aa6b2; }
.tabs a { padding: 4px 12px; border: 1px solid #9aa6b2; border-bottom: 0; background: #e3e7eb;
          text-decoration: none; color: inherit; }
.tabs a.active { background: #fff; font-weight: bold; }
.page { background: #fff; border: 1px solid #9aa6b2; border-top: 0; padding: 10px; }
.page label { display: block; margin: 4px 0; }
table.list { border-collapse: collapse; width: 100%; }
table.list th { text-align: left; background: #e3e7eb; }
table.list th button { border: 0; background: none; font: inherit; font-weight: bold;
                       cursor: pointer; padding: 0; }
table.list td, table.list th { border: 1px solid #c9d0d6; padding: 2px 4px; }
table.list td.placeholder input { color: #666; }
.buttons { margin-top: 10px; display: flex; gap: 40px; justify-content: center; }
.buttons button { min-width: 80px; }
.notice, .question { background: #fff8d8; border: 1px solid #d8c36a; padding: 8px 10px;
                     margin: 0 16px 8px; }
.notice b, .question b { display: block; }
footer { padding: 0 16px 16px; font-size: 12px; }
form.inline { display: inline; }
main > section, main > p, main > form, main > nav, main > pre, main > table { max-width: 100%; }
main.single { display: block; overflow-wrap: anywhere; }
main.single table { width: 100%; table-layout: fixed; }
main.single td, main.single th, main.single code { overflow-wrap: anywhere; }
main.single select { width: 100%; }
main.single .dialog { min-width: 0; }
pre { white-space: pre-wrap; word-break: break-all; }
.notice.error { background: #fde4e1; border-color: #b3261e; }
.choice { margin: 4px 0; word-break: break-all; }
.hint { font-size: 12px; color: #4a545e; }
.visually-hidden { position: absolute; width: 1px; height: 1px; overflow: hidden;
                   clip: rect(0 0 0 0); white-space: nowrap; }
textarea { display: block; width: 100%; max-width: 40em; box-sizing: border-box; }
input, select { max-width: 100%; box-sizing: border-box; }
header a { color: #fff; }
)CSS";

// Check boxes send their click at once, as a dialog's automatic check box
// changes its state at once.
const char kPanelJs[] = R"JS(
document.addEventListener('change', function (e) {
  var box = e.target;
  if (box.matches && box.matches('input[type=checkbox][data-control]')) {
    var form = document.getElementById('click-form');
    form.elements.control.value = box.getAttribute('data-control');
    form.submit();
  } else if (box.matches && box.matches('input[type=checkbox][data-https]')) {
    box.form.submit();
  }
});
document.addEventListener('click', function (e) {
  var button = e.target;
  if (!button.matches || !button.matches('button[data-copy]')) return;
  var source = document.getElementById(button.getAttribute('data-copy'));
  if (source && navigator.clipboard) {
    navigator.clipboard.writeText(source.textContent).then(function () {
      button.textContent = 'Copied';
    });
  }
});
// Escape cancels a dialog shown as a page.
document.addEventListener('keydown', function (e) {
  if (e.key !== 'Escape') return;
  var cancel = document.querySelector('button[data-cancel]');
  if (cancel) cancel.click();
});
document.querySelectorAll('input[data-indeterminate]').forEach(function (box) {
  box.indeterminate = true;
});
)JS";

}  // namespace cvie::panel
