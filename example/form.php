<?php
// Reads the form of index.html (GET or POST) and greets by name.
$name = $_REQUEST['name'] ?? '';
if ($name === '') {
    header('Location: /index.html');
    exit;
}
?>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Hello</title><link rel="stylesheet" href="style.css"></head>
<body>
<h1>Hello, <?= htmlspecialchars($name) ?>!</h1>
<p>This page was made by PHP <?= PHP_VERSION ?> through php-cgi, for a
<?= htmlspecialchars($_SERVER['REQUEST_METHOD']) ?> request.</p>
<p><a href="/">Back</a></p>
</body>
</html>
